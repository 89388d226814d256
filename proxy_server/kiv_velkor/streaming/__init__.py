"""The streaming layer: model contexts lent to requests (:mod:`.pool`,
:mod:`.lending`), each request an iterator and an async iterator of events
(:mod:`.generation`, :mod:`.events`), and speech recognition (:mod:`.speech`).

Pure Python over the native modules, typed for ``mypy --strict``; nothing
here needs the server's dependencies. Its public names are imported from
the package, ``tessel_openai_server.kiv_velkor``.
"""
