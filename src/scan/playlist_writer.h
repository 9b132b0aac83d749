#pragma once

// A walk appends many lines to one folder's playlist in a row; the file stays
// open between them on the walking thread. Closes it (the walk calls this
// when it leaves the folder).
void ClosePlaylists();
