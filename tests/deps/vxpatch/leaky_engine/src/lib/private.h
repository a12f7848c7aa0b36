// Private to the test engine.
