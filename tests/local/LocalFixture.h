#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ArMgrClientAPI.h"
#include "platform/CZebNetwork.h"
#include "platform/FsrMessages.h"
#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"
#include "platform/zebsDatabuf_v2.h"

// The PostgreSQL test server: the one $PIPELINESETUP_TEST_PG names, else the
// one this test run started (tests/pg_server.sh), which it then names for
// everything that reads the variable later; empty when there is none.
inline std::string testServer() {
    if (const char* named = std::getenv("PIPELINESETUP_TEST_PG"); named && *named) return named;
    std::ifstream recorded(PG_TEST_SERVER_FILE);
    std::string server;
    if (!std::getline(recorded, server) || server.empty()) return "";
    ::setenv("PIPELINESETUP_TEST_PG", server.c_str(), 1);
    return server;
}

// Each test gets a fresh store, log file and settings file in a temporary
// directory under the build tree, and a job id of its own (stream numbers
// count per job for the whole process).
class LocalPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(LOCAL_TEST_TMP);
        std::string dir = std::string(LOCAL_TEST_TMP) + "/storeXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
        // The same tests on a PostgreSQL catalog: every store they make
        // keeps its catalog on the test server.
        if (onPostgres()) {
            const std::string server = testServer();
            if (server.empty()) GTEST_SKIP() << "PIPELINESETUP_TEST_PG names no test server";
            ::setenv("PIPELINE_CATALOG", server.c_str(), 1);
        }
        static unsigned long long jobs = 1000;
        config.storeDir = m_dir + "/store";
        config.logFile = m_dir + "/log.txt";
        config.settingsFile = m_dir + "/settings.ini";
        config.jobId = ++jobs;
        config.chunkSize = 1000;
        config.mediaTimeout = std::chrono::seconds(10);
        localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    }

    void TearDown() override {
        localplatform::closeStore();
        std::filesystem::remove_all(m_dir);
    }

    // Opens the store again with the changed configuration; the jobs this
    // process began are released.
    void reconfigure() { localplatform::openStore(config, localplatform::Access::ReadWrite, true); }

    // Makes job the current one.
    void useJob(unsigned long long job) {
        config.jobId = job;
        localplatform::setCurrentJob(job);
    }

    const std::string& dir() const { return m_dir; }

    // Loses the catalog of the store at storeDir (closed): catalog.db, or the
    // store's schema on the PostgreSQL server.
    static void loseCatalog(const std::string& storeDir) {
        if (!onPostgres()) {
            std::filesystem::remove(storeDir + "/catalog.db");
            return;
        }
        runOnServer("DROP SCHEMA " + schemaOf(storeDir) + " CASCADE");
    }

    // Runs sql in the catalog of the store at storeDir, behind the
    // platform's back, as another host's agent would change it.
    static void runOnCatalog(const std::string& storeDir, const std::string& sql) {
        if (onPostgres()) {
            runOnServer("SET search_path TO " + schemaOf(storeDir) + "; " + sql);
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((storeDir + "/catalog.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    // The tests run on PostgreSQL catalogs (PIPELINESETUP_TEST_BACKEND).
    static bool onPostgres() {
        const char* backend = std::getenv("PIPELINESETUP_TEST_BACKEND");
        return backend && std::string(backend) == "postgresql";
    }

    // The PostgreSQL schema that holds the catalog of the store at storeDir.
    static std::string schemaOf(const std::string& storeDir) {
        std::ifstream ini(storeDir + "/store.ini");
        std::string line, trellanId;
        while (std::getline(ini, line)) {
            if (line.rfind("trellan_id=", 0) == 0) trellanId = line.substr(11);
        }
        return "pipelinesetup_store_" + trellanId;
    }

    static void runOnServer(const std::string& sql) {
        PGconn* db = PQconnectdb(std::getenv("PIPELINESETUP_TEST_PG"));
        ASSERT_EQ(PQstatus(db), CONNECTION_OK) << PQerrorMessage(db);
        PGresult* result = PQexec(db, sql.c_str());
        EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(db);
        PQclear(result);
        PQfinish(db);
    }

    std::string log() const {
        std::ifstream file(config.logFile);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // n bytes that differ from their neighbours, so that a shifted or
    // repeated chunk shows.
    static std::string bytes(std::size_t n) {
        std::string data(n, '\0');
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 7 + i / 251) % 256);
        return data;
    }

    static std::string sha256Hex(const std::string& data) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            const char* digits = "0123456789abcdef";
            hex += digits[digest[i] >> 4];
            hex += digits[digest[i] & 15];
        }
        return hex;
    }

    static std::string contentsOf(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    // "archive file (T, G, A)", as the platform's log lines name it.
    static std::string describe(const ArchiveFileId_t& id) {
        return "archive file (" + std::to_string(id.trellanId) + ", " +
               std::to_string(id.groupNumber) + ", " + std::to_string(id.afileId) + ")";
    }

    static ArchiveFileId_t idOf(const CreateRet_t& created) {
        return {created.trellanId, created.groupNumber, created.afileId};
    }

    // A backup object with its pipeline set up and its archive file created.
    // Sets archive's pipeline up and creates its archive file; the creation's
    // result.
    static int tryCreate(ZebArchive& archive, CreateRet_t* created) {
        SetupPipelineArgs_t setup;
        setup.recordKind = 1;
        setup.pipelineKind = 4;
        setup.setupText = "setup";
        EXPECT_EQ(archive.setupPipeline(&setup, "", nullptr), 0);
        CreateArgs_t args;
        args.createText = "create";
        return archive.createArchiveFile(&args, created);
    }

    std::unique_ptr<ZebArchive> create(CreateRet_t* created) {
        auto archive = std::make_unique<ZebArchive>(nullptr, true, nullptr);
        EXPECT_EQ(tryCreate(*archive, created), 0);
        return archive;
    }

    static int close(ZebArchive& archive, const ArchiveFileId_t& id) {
        CloseAfileArgs_t args{id.trellanId, id.groupNumber, id.afileId, 0, 0, 0};
        return archive.closeAfile(&args, nullptr);
    }

    // A closed archive file holding data, written as stream `created.groupNumber`.
    ArchiveFileId_t backup(const std::string& data) {
        CreateRet_t created;
        auto archive = create(&created);
        std::string error;
        EXPECT_TRUE(localplatform::writeStream(config.jobId, created.groupNumber, data.data(),
                                               data.size(), &error))
            << error;
        EXPECT_EQ(close(*archive, idOf(created)), 0);
        return idOf(created);
    }

    int invalidate(const std::vector<int64_t>& afileIds, uint64_t trellanId,
                   std::string* text = nullptr) {
        ArMgrClientAPI client;
        InvalidateArchFilesByJobArgs_t args;
        args.jobId = config.jobId;
        args.trellanId = trellanId;
        args.afileIds = afileIds;
        InvalidateArchFilesByJobRet_t ret;
        const int result = client.invalidateArchFilesByJob(&args, &ret);
        if (text) *text = ret.text16;
        return result;
    }

    static std::string state(const ArchiveFileId_t& id) {
        localplatform::ArchiveFileRecord record;
        if (!localplatform::findArchiveFile(id.trellanId, id.groupNumber, id.afileId, &record)) {
            return "none";
        }
        return record.state;
    }

    // A restore object with id open; *head is its session head.
    static std::unique_ptr<ZebArchive> open(const ArchiveFileId_t& id, int* result,
                                            CZebNetwork** head = nullptr) {
        auto archive = std::make_unique<ZebArchive>(-1, nullptr, true, "machine");
        OpenArgs_t args;
        args.trellanId = id.trellanId;
        args.groupNumber = id.groupNumber;
        args.afileId = id.afileId;
        OpenRet_t ret{};
        *result = archive->openArchiveFile(&args, &ret);
        if (head) *head = ret.sessionHead;
        return archive;
    }

    static CQiError send(CZebNetwork* head, unsigned long code, void* body, std::size_t length) {
        zebsDatabuf_v2 buffer;
        buffer.setExternalBuffer(static_cast<char*>(body), length);
        bool flag = false;
        return head->SendXDRMessage(code, &buffer, 0, -1, flag);
    }
    static CQiError sendWithoutBody(CZebNetwork* head, unsigned long code) {
        bool flag = false;
        return head->SendXDRMessage(code, nullptr, 0, -1, flag);
    }
    static CQiError sendEmpty(CZebNetwork* head, unsigned long code) {
        return send(head, code, nullptr, 0);
    }
    static FSROpenArchive openBody(const ArchiveFileId_t& id, unsigned long stream) {
        FSROpenArchive body;
        body.copy = 1;
        body.streamNumber = stream;
        body.archiveFile.trellanId = id.trellanId;
        body.archiveFile.fileTrellanId = id.trellanId;
        body.archiveFile.groupNumber = id.groupNumber;
        body.archiveFile.afileId = id.afileId;
        return body;
    }
    static CQiError sendOpen(CZebNetwork* head, const ArchiveFileId_t& id, unsigned long stream) {
        FSROpenArchive body = openBody(id, stream);
        return send(head, FSR_MSG_OPEN_ARCHIVE, &body, sizeof body);
    }
    static CQiError sendSeek(CZebNetwork* head, unsigned long long offset,
                             unsigned long code = FSR_MSG_SEEK_TO_OFFSET) {
        FSRSeekArchive element;
        element.offset = offset;
        FSRSeekArchiveArray body;
        body.count = 1;
        body.elements = &element;
        return send(head, code, &body, sizeof body);
    }

    // The type of the next pipeline message, or 0 when readBuffer returned 0;
    // data messages append their bytes to *data.
    static int read(ZebArchive& archive, std::string* data = nullptr, uint64_t maxLength = 0) {
        ReadBufArgs_t args;
        args.maxLength = maxLength;
        ReadBufRet_t ret{};
        if (archive.readBuffer(&args, &ret) == 0) return 0;
        if (ret.messageType == localplatform::kDataMessage) {
            if (data) data->append(ret.data, ret.dataLength);
        } else {
            EXPECT_EQ(ret.data, nullptr);
            EXPECT_EQ(ret.dataLength, 0u);
        }
        archive.freeBuffer(nullptr, nullptr);
        return ret.messageType;
    }

    localplatform::Config config;

private:
    std::string m_dir;
};
