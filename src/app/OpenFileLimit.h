#ifndef MAD_APP_OPENFILELIMIT_H
#define MAD_APP_OPENFILELIMIT_H

// How many descriptors (files, sockets) the process may hold, and how many map downloads fit.

// Descriptors the process needs besides its downloads: standard streams, the save directory, the
// feed being read, the map being read, a name lookup, and a margin.
constexpr unsigned long long kBaseOpenFiles = 10;
// Descriptors one download holds at most: its connection, the next one opened ahead, the body,
// the map being written, and the map before it still being put in place.
constexpr unsigned long long kOpenFilesPerDownload = 5;

// Raises the soft limit on open files to the hard limit, as a long-running daemon should, and
// returns the soft limit then in effect (as it was when raising fails).
unsigned long long RaiseOpenFileLimit();

// The number of downloads at once, at most requested and at least 1, whose descriptors fit within
// openFiles.
unsigned int DownloadsWithinOpenFiles(unsigned int requested, unsigned long long openFiles);

#endif
