"""Anthropic's side of the server, pure: which request fields the Messages
endpoints carry out (:mod:`.fields`), a Messages request as a chat request
(:mod:`.messages_input`), and the answer, event and error shapes
(:mod:`.shapes`)."""
