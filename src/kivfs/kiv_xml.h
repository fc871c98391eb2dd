#pragma once
// XML bodies of the object store: listing pages and the multi-object delete.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace FileSystem {

struct ListedObject {
    std::string key;
    int64_t size;
    time_t mtime;  // 0 when absent
};

struct ListPage {
    std::vector<ListedObject> contents;   // document order
    std::vector<std::string> prefixes;    // CommonPrefixes, each ending in "/"
    std::string next_token;               // empty: the listing is complete
};

// Parses one "ListBucketResult" page. A document without that root is an empty,
// complete page. -1/EINVAL (logged) on bad XML or a Contents without Key or
// Size, a CommonPrefixes without Prefix.
int parse_list_page(std::string_view body, ListPage& page);

// "&", "<", ">", '"' and "'" as entities, so any key text stays one element.
std::string xml_escape(std::string_view text);

// "<Delete><Quiet>true</Quiet>" + one "<Object><Key>" per key + "</Delete>".
std::string delete_body(const std::vector<std::string>& keys, size_t begin, size_t end);

// Base64 (standard alphabet, padded) of the MD5 digest.
std::string content_md5(std::string_view body);

}  // namespace FileSystem
