"""``python -m tessel_openai_server.kiv_velkor``: show and place the runtime libraries (see :mod:`.deploy`)."""

from .deploy import main

raise SystemExit(main())
