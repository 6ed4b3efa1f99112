// Which file names a viewer may send. The viewer port is open to the network without
// authentication, so a name from a viewer must stay inside the folder it is meant for.
// Names from the command line and from local settings documents are not checked here.
#pragma once

// A path relative to the boot project folder that names a file: not empty, not absolute,
// without a "." or ".." component, not ending in a separator and without control characters,
// with backslashes counted as separators. Null is refused.
bool IsViewerRelativePath(const char* name);

// A bare file name for the capture folder: as above and without any separator. An empty
// name is accepted (it means "no name").
bool IsViewerBareFileName(const char* name);
