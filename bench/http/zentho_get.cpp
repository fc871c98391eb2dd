// GET benchmark of this system's HTTP client: keep-alive requests per second
// for one URL, or MB/s for one large body. Usage: zentho_get URL seconds|once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zentho/common/logger.h"
#include "zentho/net/http/client.h"
#include "zentho/thread/thread.h"

using namespace zentho;
using namespace zentho::net::http;

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    default_logger.m_level = ALOG_ERROR;
    if (init(INIT_EVENT_EPOLL) != 0) return 1;
    Client* client = new_http_client();
    std::string url = argv[1];
    bool once = strcmp(argv[2], "once") == 0;
    double seconds = once ? 0 : atof(argv[2]);
    static char buf[1 << 20];
    auto t0 = std::chrono::steady_clock::now();
    uint64_t requests = 0, bytes = 0;
    for (;;) {
        Client::Operation op(Verb::GET, url);
        if (client->call(&op) != 0 || op.status_code != 200) {
            fprintf(stderr, "request failed: %d\n", op.status_code);
            return 1;
        }
        ssize_t n;
        while ((n = op.resp.read(buf, sizeof(buf))) > 0) bytes += n;
        requests++;
        double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (once || el >= seconds) {
            printf("%llu %llu %.6f\n", (unsigned long long)requests, (unsigned long long)bytes, el);
            break;
        }
    }
    delete client;
    fini();
    return 0;
}
