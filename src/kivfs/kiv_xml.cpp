#include "kivfs/kiv_xml.h"

#include <openssl/evp.h>
#include <tinyxml2.h>

#include <cerrno>
#include <cstdlib>

#include "zentho/common/logger.h"

namespace FileSystem {

static time_t parse_mtime(const char* text) {
    if (!text) return 0;
    struct tm tm = {};
    // "%Y-%m-%dT%H:%M:%S.000Z", read as UTC
    if (!strptime(text, "%Y-%m-%dT%H:%M:%S", &tm)) return 0;
    return timegm(&tm);
}

int parse_list_page(std::string_view body, ListPage& page) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS)
        LOG_ERROR_RETURN(EINVAL, -1, "failed to parse resp_body ", doc.ErrorStr());
    const tinyxml2::XMLElement* root = doc.FirstChildElement("ListBucketResult");
    if (!root) return 0;
    for (auto* c = root->FirstChildElement("Contents"); c; c = c->NextSiblingElement("Contents")) {
        auto* key = c->FirstChildElement("Key");
        auto* size = c->FirstChildElement("Size");
        if (!key || !size) LOG_ERROR_RETURN(EINVAL, -1, "unexpected response");
        const char* k = key->GetText();
        const char* s = size->GetText();
        auto* lm = c->FirstChildElement("LastModified");
        page.contents.push_back(
            {k ? k : "", s ? strtoll(s, nullptr, 10) : 0, parse_mtime(lm ? lm->GetText() : nullptr)});
    }
    for (auto* p = root->FirstChildElement("CommonPrefixes"); p;
         p = p->NextSiblingElement("CommonPrefixes")) {
        auto* prefix = p->FirstChildElement("Prefix");
        if (!prefix) LOG_ERROR_RETURN(EINVAL, -1, "unexpected response");
        const char* t = prefix->GetText();
        page.prefixes.emplace_back(t ? t : "");
    }
    auto* token = root->FirstChildElement("NextContinuationToken");
    const char* t = token ? token->GetText() : nullptr;
    page.next_token = t ? t : "";
    return 0;
}

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string delete_body(const std::vector<std::string>& keys, size_t begin, size_t end) {
    std::string body = "<Delete><Quiet>true</Quiet>";
    for (size_t i = begin; i < end && i < keys.size(); ++i)
        body.append("<Object><Key>").append(xml_escape(keys[i])).append("</Key></Object>");
    body.append("</Delete>");
    return body;
}

std::string content_md5(std::string_view body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(body.data(), body.size(), digest, &n, EVP_md5(), nullptr);
    unsigned char b64[64];
    int len = EVP_EncodeBlock(b64, digest, int(n));
    return std::string(reinterpret_cast<char*>(b64), size_t(len));
}

}  // namespace FileSystem
