"""Speech recognition: uploads in any format turned into the runtime's WAV
(:mod:`.audio_input`), transcribed on threads of the recogniser's own
(:mod:`.recogniser`)."""
