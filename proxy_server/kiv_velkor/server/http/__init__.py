"""HTTP plumbing below the routes: the guard every request passes
(:mod:`.guard`), event streams and hang-ups (:mod:`.stream`), and the
connection level (:mod:`.connections`)."""
