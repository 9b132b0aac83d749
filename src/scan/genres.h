#pragma once

inline constexpr int kGenreCount = 148;
extern const char* const kGenreTable[kGenreCount];

// The genre named by an ID3v1 genre number, or null outside 0..147.
const char* GenreName(int number);
