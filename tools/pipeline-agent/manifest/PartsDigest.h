#pragma once

#include <string>

#include "manifest/Manifest.h"

// What ties a file's parts to the file: the SHA-256 of the file's digest
// followed by the digest of each of its parts that holds bytes, in order
// (a file's shares in stream order, a stream input's stripes), each as its
// 64 hex digits. A backup records it beside the digests it took of the same
// bytes, so that a restore which matched every part against its own digest
// knows the file's without hashing its bytes a second time.
std::string partsDigest(const ManifestFile& file);
