#ifndef MAD_TESTS_LOCALHOST_H
#define MAD_TESTS_LOCALHOST_H

// Whether the system resolver turns "localhost" into an IPv4 address. A minimal root without
// /etc/hosts cannot; the tests that connect by that name skip then, with kNoLocalhost as reason.
bool LocalhostResolves();

extern const char kNoLocalhost[];

#endif
