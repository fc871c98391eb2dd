// The same GET benchmark with libcurl and one reused easy handle.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static size_t sink(char*, size_t size, size_t n, void* total) {
    *static_cast<unsigned long long*>(total) += size * n;
    return size * n;
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    bool once = strcmp(argv[2], "once") == 0;
    double seconds = once ? 0 : atof(argv[2]);
    curl_global_init(CURL_GLOBAL_ALL);
    CURL* h = curl_easy_init();
    unsigned long long bytes = 0, requests = 0;
    curl_easy_setopt(h, CURLOPT_URL, argv[1]);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, sink);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        if (curl_easy_perform(h) != CURLE_OK) return 1;
        requests++;
        double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (once || el >= seconds) {
            printf("%llu %llu %.6f\n", requests, bytes, el);
            break;
        }
    }
    curl_easy_cleanup(h);
    return 0;
}
