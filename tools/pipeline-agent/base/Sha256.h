#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;

// An incremental SHA-256 digest.
class Sha256 {
public:
    Sha256();
    ~Sha256();

    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t length);
    // The digest of everything added, as 64 lower-case hex digits. Ends the
    // digest: add nothing afterwards.
    std::string hex();

private:
    evp_md_ctx_st* m_context;
};

// The SHA-256 of a whole file, or throws AgentError when it cannot be read.
std::string sha256OfFile(const std::string& path);
