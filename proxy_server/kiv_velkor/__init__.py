"""Native bindings of the on-device inference runtimes.

``_velkor`` binds the LLM runtime ``libvelkor.so`` and ``_quellan`` the speech
runtime ``libquellan.so``; both open their runtime with ``dlopen`` from this
directory when the first object is created, never at import.
"""
