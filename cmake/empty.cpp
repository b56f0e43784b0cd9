// Compiled into a library whose folders hold no sources yet.
