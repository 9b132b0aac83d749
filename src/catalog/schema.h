#pragma once

// Creates whichever of AUDIO, VIDEO, IMAGE and SHAREDFOLDER is missing in the
// catalogue file, with its indexes, and switches the file to WAL so that the
// media server's reads never block our writes. 0 on success; on failure prints
// a clear message on standard error and returns 1.
int EnsureCatalogueSchema(const char* fileName);
