// The normalization pass over one "data" chunk: prime the two buffers, set the starting
// gain, then read one block ahead, scale the older block and write it back over the bytes
// it came from, and show the progress, until the block just written was empty.
#pragma once

/// Writes the first count bytes of BUF[BUFN] at POSW; POSW then stands after them.
void BUFWRITE();

/// Normalizes the chunk whose body starts at the file position, DATA.ckSize bytes long.
/// Returns with the file positioned after the body (or early, once an I/O failure is latched).
void BUFMAIN();
