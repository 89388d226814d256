"""``python -m tessel_openai_server.kiv_velkor``: show and place the runtime libraries, and serve them (see :mod:`.cli`)."""

from .cli import main

raise SystemExit(main())
