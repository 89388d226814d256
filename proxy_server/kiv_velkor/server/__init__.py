"""The OpenAI-compatible HTTP server over the streaming layer (Starlette and
uvicorn: the ``server`` extra).

:mod:`.app` builds the application (routes as data, in :mod:`.routes`, one
module per endpoint family), :mod:`.http` holds the HTTP plumbing (guard,
streams, connections), :mod:`.openai` OpenAI's request fields and response
shapes, :mod:`.config` what ``serve`` is told and :mod:`.serve` runs it.
Its public names are imported from the package, ``tessel_openai_server.kiv_velkor``.
"""
