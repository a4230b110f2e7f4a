// What the end-to-end tests of a store in object storage look at behind the
// agent's back, with the credentials and endpoint of the environment:
//   s3_tool uploads s3://BUCKET/PREFIX   the unfinished uploads below PREFIX,
//                                        one key a line
//   s3_tool cat s3://BUCKET/KEY          the object's bytes on stdout
//   s3_tool keys s3://BUCKET/PREFIX      the objects below PREFIX, one
//                                        "KEY SIZE" a line
//   s3_tool put s3://BUCKET/KEY          an object of stdin's bytes
//   s3_tool rm s3://BUCKET/KEY           the object removed
// Exit 1 with one line on stderr when a request fails, 2 for bad usage.

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/local/objectstore/S3Client.h"

namespace os = localplatform::objectstore;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: s3_tool uploads|cat|keys|put|rm s3://BUCKET[/PREFIX]\n");
        return 2;
    }
    const std::string command = argv[1];
    std::string url = argv[2], bucket, prefix;
    const bool object = command == "cat" || command == "put" || command == "rm";
    if (!os::parseS3Url(url, bucket, prefix)) {
        std::fprintf(stderr, "s3_tool: %s is not s3://BUCKET[/PREFIX]\n", argv[2]);
        return 2;
    }
    // parseS3Url ends a prefix with '/'; an object's key has none.
    if (object && !prefix.empty()) prefix.pop_back();
    os::Credentials credentials;
    std::string error;
    if (!os::loadCredentials(credentials, error)) {
        std::fprintf(stderr, "s3_tool: %s\n", error.c_str());
        return 1;
    }
    os::S3Client client(bucket, credentials);
    os::S3Status status;
    if (command == "uploads") {
        std::vector<os::UploadInfo> uploads;
        status = client.listMultipartUploads(prefix, uploads);
        for (const auto& upload : uploads) std::printf("%s\n", upload.key.c_str());
    } else if (command == "keys") {
        std::vector<os::ObjectInfo> objects;
        status = client.listObjects(prefix, objects);
        for (const auto& info : objects) {
            std::printf("%s %llu\n", info.key.c_str(), static_cast<unsigned long long>(info.size));
        }
    } else if (command == "cat") {
        os::ObjectInfo info;
        status = client.headObject(prefix, info);
        std::string bytes;
        if (status && info.size > 0) status = client.getObjectRange(prefix, 0, info.size, bytes);
        if (status) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    } else if (command == "put") {
        const std::string bytes{std::istreambuf_iterator<char>(std::cin), {}};
        status = client.putObject(prefix, bytes);
    } else if (command == "rm") {
        status = client.deleteObject(prefix);
    } else {
        std::fprintf(stderr, "s3_tool: unknown command %s\n", command.c_str());
        return 2;
    }
    if (!status) {
        std::fprintf(stderr, "s3_tool: %s\n", status.message.c_str());
        return 1;
    }
    return 0;
}
