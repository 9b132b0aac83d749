#pragma once

#include <string>

// The user's private folder for locks and presence files: $XDG_RUNTIME_DIR/tarvel
// when XDG_RUNTIME_DIR is set, else /tmp/tarvel-<uid>. Created on first use with
// mode 0700; refused (empty result) unless it is a real folder owned by us and
// closed to others.
std::string RuntimeDir();

// The path RuntimeDir() uses, without creating or checking it.
std::string RuntimeDirPath();
