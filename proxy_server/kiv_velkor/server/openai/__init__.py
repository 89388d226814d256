"""OpenAI's side of the server, pure: which request fields each endpoint
carries out (:mod:`.fields`), a Responses request as a chat request
(:mod:`.responses_input`), and the response shapes (:mod:`.shapes`,
:mod:`.responses_shapes`, :mod:`.speech_shapes`)."""
