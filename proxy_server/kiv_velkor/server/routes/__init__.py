"""The server's routes, one module per endpoint family; :mod:`.generating` is
what the generating routes (chat, completions, responses) share."""
