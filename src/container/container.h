// Detection of the encrypted container (layout in container/format.h).
#pragma once

// True when the 4 bytes 148 bytes before the end of `path` are "FuI3".
// Prints "Failed to open file.\n" when the file cannot be opened (then
// false); changes nothing on disk.
bool is_encrypted_file(const char *path);
