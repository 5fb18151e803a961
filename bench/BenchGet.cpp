// One download with the project's HTTP client, as a process of its own so the benchmark can
// read its peak resident size: mad_bench_get URL FILE [CAFILE]. Exit status 0 on success.

#include <cstdio>
#include <memory>

#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSContext.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s URL FILE [CAFILE]\n", argv[0]);
        return 2;
    }
    CTCPImpl tcp;
    if (argc == 4) tcp.SetTLSContext(std::make_shared<const CTLSContext>(argv[3]));
    CHTTPClient client(&tcp);
    if (!client.Get(argv[1], argv[2])) {
        std::fprintf(stderr, "%s\n", client.GetLastError());
        return 1;
    }
    return 0;
}
