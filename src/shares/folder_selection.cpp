#include "shares/folder_selection.h"

std::atomic<int> CFolderSelection::s_chosen{0};

void CFolderSelection::SetChosen() { s_chosen = 1; }
void CFolderSelection::ClearChosen() { s_chosen = 0; }
bool CFolderSelection::IsChosen() { return s_chosen != 0; }
