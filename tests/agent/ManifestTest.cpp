// The manifest reader: each format the agent writes read back as written, the
// first format read as a set of one, and each field the reader checks, wrong
// alone in an otherwise good manifest, refused with the line the user sees.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "AgentTestSupport.h"
#include "base/Sha256.h"
#include "manifest/Manifest.h"
#include "manifest/PartsDigest.h"
#include "manifest/StoredManifest.h"
#include "stages/DataKeyWrap.h"

using nlohmann::json;

// What a failed comparison shows of the records, instead of their bytes.
void PrintTo(const ManifestArchive& a, std::ostream* os) {
    *os << "{stream " << a.stream << ", " << archiveFileName(a) << "}";
}

void PrintTo(const ManifestShare& s, std::ostream* os) {
    PrintTo(s.archive, os);
    *os << " source " << s.sourceOffset << " seek " << s.seekOffset << " size " << s.size << " "
        << s.sha256.substr(0, 8) << " stored " << s.storedSize << " "
        << s.storedSha256.substr(0, 8);
}

void PrintTo(const ManifestStages& s, std::ostream* os) {
    *os << "{framed " << s.framed << ", codec " << codecName(s.codec) << ", level " << s.level
        << ", frameSize " << s.frameSize << ", wrappedKey \"" << s.wrappedKey << "\"}";
}

namespace {

const std::string kEmpty = Sha256().hex();

std::string digest(char c) { return std::string(64, c); }

// A share whose archive file holds its bytes as they are (formats 1 to 3).
ManifestShare share(const ManifestArchive& a, uint64_t source, uint64_t seek, uint64_t size,
                    char sha) {
    const std::string sha256 = size == 0 ? kEmpty : digest(sha);
    return {a, source, seek, size, sha256, size, sha256};
}

// A share stored as frames (format 4): storedSize bytes of another digest.
ManifestShare framed(const ManifestArchive& a, uint64_t source, uint64_t seek, uint64_t size,
                     uint64_t storedSize) {
    ManifestShare s = share(a, source, seek, size, 'b');
    s.storedSize = storedSize;
    if (size != 0) s.storedSha256 = digest('c');
    return s;
}

ManifestFile entry(const std::string& name, ManifestFile::Kind kind, int mode) {
    ManifestFile f;
    f.name = name;
    f.kind = kind;
    f.mode = mode;
    return f;
}

ManifestFile file(const std::string& name, int mode, uint64_t size,
                  std::vector<ManifestShare> shares) {
    ManifestFile f = entry(name, ManifestFile::Kind::File, mode);
    f.size = size;
    f.sha256 = digest('a');
    f.shares = std::move(shares);
    return f;
}

// A stream input of 10 bytes in stripes of 4 over two streams: stripes 0
// and 2 (6 bytes) on stream 1, stripe 1 on stream 2.
ManifestFile streamInput(std::vector<ManifestShare> shares) {
    ManifestFile f = file("s", 0600, 10, std::move(shares));
    f.kind = ManifestFile::Kind::Stream;
    f.stripeUnit = 4;
    f.stripes = {digest('1'), digest('2'), digest('3')};
    return f;
}

Manifest twoStreams(int version) {
    Manifest m;
    m.version = version;
    m.jobId = 41;
    m.createdAt = "2026-03-01T12:00:00Z";
    m.archives = {{1, 10, 1, 100}, {2, 10, 2, 101}};
    return m;
}

// Format 2: files alone, the first split over both streams, the second whole
// on stream 2 with an empty share at stream 1's end.
Manifest filesAlone() {
    Manifest m = twoStreams(2);
    const auto& [one, two] = std::tie(m.archives[0], m.archives[1]);
    m.files = {file("a", 0644, 3000, {share(one, 0, 0, 1000, 'b'), share(two, 1000, 0, 2000, 'c')}),
               file("b", 0600, 10, {share(one, 0, 1000, 0, 'b'), share(two, 0, 2000, 10, 'd')})};
    return m;
}

// Format 3: a file, a tree (a directory in a directory, a link, a file on
// stream 1 alone, whose empty share on stream 2 the text leaves out) and a
// stream input.
Manifest tree() {
    Manifest m = twoStreams(3);
    const auto& [one, two] = std::tie(m.archives[0], m.archives[1]);
    ManifestFile top = file("c", 0644, 10, {share(one, 0, 0, 4, 'b'), share(two, 4, 0, 6, 'c')});
    ManifestFile t = entry("t", ManifestFile::Kind::Directory, 0755);
    t.hasMtime = true;
    t.mtime = 1'700'000'000'123'456'789;
    ManifestFile link = entry("t/l", ManifestFile::Kind::Symlink, -1);
    link.target = "d/f";
    link.hasMtime = true;
    link.mtime = -5;  // before the epoch
    ManifestFile nested =
        file("t/d/f", 0640, 10, {share(one, 0, 4, 10, 'd'), share(two, 10, 6, 0, 0)});
    nested.hasMtime = true;
    const ManifestFile d = entry("t/d", ManifestFile::Kind::Directory, 0700);
    const ManifestFile s = streamInput({share(one, 0, 14, 6, 'e'), share(two, 4, 6, 4, 'f')});
    m.files = {top, t, d, link, nested, s};
    return m;
}

// Format 4: compressed and encrypted; each share's successor on its stream
// starts after its stored bytes.
Manifest staged() {
    Manifest m = twoStreams(4);
    const auto& [one, two] = std::tie(m.archives[0], m.archives[1]);
    WrappedDataKey key;
    key.recipe.source = KeyRecipe::Source::KeyFile;
    key.recipe.salt.fill(0x11);
    key.jobId = m.jobId;
    key.nonce.fill(0x5a);
    key.sealed.fill(0xc3);
    m.stages = {true, Codec::Zstd, 3, 1 << 20, key.toText()};
    m.files = {
        file("a", 0644, 3000, {framed(one, 0, 0, 1000, 400), framed(two, 1000, 0, 2000, 900)}),
        file("b", 0600, 10, {framed(one, 0, 400, 0, 0), framed(two, 0, 900, 10, 30)}),
        streamInput({framed(one, 0, 400, 6, 50), framed(two, 4, 930, 4, 40)})};
    return m;
}

void expectSame(const Manifest& back, const Manifest& m) {
    EXPECT_EQ(back.version, m.version);
    EXPECT_EQ(back.stages, m.stages);
    EXPECT_EQ(back.jobId, m.jobId);
    EXPECT_EQ(back.createdAt, m.createdAt);
    EXPECT_EQ(back.archives, m.archives);
    ASSERT_EQ(back.files.size(), m.files.size());
    for (std::size_t i = 0; i < m.files.size(); ++i) {
        const ManifestFile& got = back.files[i];
        const ManifestFile& want = m.files[i];
        SCOPED_TRACE("file " + want.name);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.kind, want.kind);
        EXPECT_EQ(got.size, want.size);
        EXPECT_EQ(got.mode, want.mode);
        EXPECT_EQ(got.sha256, want.sha256);
        EXPECT_EQ(got.partsSha256, want.partsSha256);
        EXPECT_EQ(got.shares, want.shares);
        EXPECT_EQ(got.stripeUnit, want.stripeUnit);
        EXPECT_EQ(got.stripes, want.stripes);
        EXPECT_EQ(got.target, want.target);
        EXPECT_EQ(got.hasMtime, want.hasMtime);
        EXPECT_EQ(got.mtime, want.mtime);
    }
}

json documentOf(const Manifest& m) { return json::parse(manifestText(m)); }

// The first format: one file, its shares under "streams" beside it.
json firstFormat() {
    const auto share = [](int k, int source, int size, char sha) -> json {
        return {{"stream", k},       {"trellanId", 3},         {"groupNumber", 1},
                {"afileId", 30 + k}, {"sourceOffset", source}, {"seekOffset", 0},
                {"size", size},      {"sha256", digest(sha)}};
    };
    return {{"format", "pipeline-agent-manifest"},
            {"version", 1},
            {"jobId", 5},
            {"createdAt", "2020-01-01T00:00:00Z"},
            {"source", {{"name", "db.bin"}, {"size", 30}, {"sha256", digest('a')}}},
            {"streams", json::array({share(1, 0, 12, 'b'), share(2, 12, 18, 'c')})}};
}

std::string refusal(const std::string& text) {
    const auto [message, code] = thrown([&] { parseManifest(text, "m.json"); });
    EXPECT_EQ(code, 2) << message;
    return message;
}

// The line for a text the JSON reader itself refuses, in the reader's words.
std::string corrupt(const std::string& text) {
    try {
        ADD_FAILURE() << "JSON after all: " << json::parse(text);
    } catch (const json::exception& error) {
        return std::string("manifest m.json is corrupt: ") + error.what();
    }
    return "";
}

// A change to a good manifest's JSON: a value set, or a member or an item
// taken away, at a JSON pointer ("/files/0/mode").
using Change = std::function<void(json&)>;

Change set(const std::string& at, const json& value) {
    return [=](json& d) { d[json::json_pointer(at)] = value; };
}

Change drop(const std::string& at) {
    return [=](json& d) {
        const json::json_pointer pointer(at);
        json& parent = d[pointer.parent_pointer()];
        if (parent.is_array()) {
            parent.erase(std::stoul(pointer.back()));
        } else {
            parent.erase(pointer.back());
        }
    };
}

struct Refusal {
    const char* what;
    Change change;
    std::string message;
};

// Each change, made alone to a fresh copy of base, refused with its message.
void expectRefused(const json& base, const std::vector<Refusal>& cases) {
    ASSERT_NO_THROW(parseManifest(base.dump(), "m.json"));
    for (const Refusal& c : cases) {
        json document = base;
        c.change(document);
        EXPECT_EQ(refusal(document.dump()), c.message) << c.what;
    }
}

TEST(ManifestRoundTrip, EachFormatTheAgentWritesReadsBackAsWritten) {
    for (const Manifest& m : {filesAlone(), tree(), staged()}) {
        SCOPED_TRACE("version " + std::to_string(m.version));
        expectSame(parseManifest(manifestText(m), "m.json"), m);
    }
    // Format 3 writes the nested file's one share: the reader puts its empty
    // share back at stream 2's end, starting at the end of the file.
    EXPECT_EQ(documentOf(tree())["files"][4]["streams"].size(), 1u);
    // saveManifest and loadManifest go through a file the same way.
    const std::string dir = freshDirectory("manifest");
    saveManifest(staged(), dir + "/m.json");
    expectSame(loadManifest(dir + "/m.json"), staged());
    EXPECT_EQ(thrown([&] { loadManifest(dir + "/none.json"); }).first,
              "cannot read manifest " + dir + "/none.json: No such file or directory");
    EXPECT_EQ(thrown([&] { loadManifest(dir); }).first,
              "manifest " + dir + " is not a regular file");
    std::filesystem::remove_all(dir);
}

TEST(ManifestRoundTrip, TheFirstFormatIsReadAsASetOfOne) {
    const Manifest m = parseManifest(firstFormat().dump(), "m.json");
    EXPECT_EQ(m.version, 1);
    EXPECT_EQ(m.jobId, 5u);
    EXPECT_EQ(m.createdAt, "2020-01-01T00:00:00Z");
    EXPECT_FALSE(m.stages.framed);
    const std::vector<ManifestArchive> archives = {{1, 3, 1, 31}, {2, 3, 1, 32}};
    EXPECT_EQ(m.archives, archives);
    ASSERT_EQ(m.files.size(), 1u);
    const ManifestFile& f = m.files[0];
    EXPECT_EQ(f.name, "db.bin");
    EXPECT_EQ(f.kind, ManifestFile::Kind::File);
    EXPECT_EQ(f.mode, -1) << "the first format records no mode";
    EXPECT_FALSE(f.hasMtime);
    EXPECT_EQ(f.size, 30u);
    EXPECT_EQ(f.sha256, digest('a'));
    EXPECT_EQ(f.shares, (std::vector<ManifestShare>{share(archives[0], 0, 0, 12, 'b'),
                                                    share(archives[1], 12, 0, 18, 'c')}));
    // It may record no name: the restore then needs an output file path.
    json nameless = firstFormat();
    nameless["source"].erase("name");
    EXPECT_EQ(parseManifest(nameless.dump(), "m.json").files.at(0).name, "");
}

TEST(ManifestRefusal, TextThatIsNoManifestOfAKnownVersion) {
    for (const std::string text : {"", "{\"format\": ", "pipeline-agent-manifest"}) {
        EXPECT_EQ(refusal(text), corrupt(text)) << text;
    }
    for (const std::string text : {"[]", "null", "\"pipeline-agent-manifest\"", "{}",
                                   R"({"format": "pipeline-agent-manifest-v2", "version": 2})",
                                   R"({"format": ["pipeline-agent-manifest"], "version": 2})"}) {
        EXPECT_EQ(refusal(text), "m.json is not a pipeline-agent manifest") << text;
    }
    const std::string unknown = "manifest m.json has a version this agent does not know";
    expectRefused(documentOf(filesAlone()), {{"no version", drop("/version"), unknown},
                                             {"version 6", set("/version", 6), unknown},
                                             {"version as text", set("/version", "2"), unknown},
                                             {"version 2.5", set("/version", 2.5), unknown}});
}

TEST(ManifestRefusal, NumbersDigestsAndTextsOfTheWrongKind) {
    const std::string top = "manifest m.json: ", file = "manifest m.json file 1: ";
    const std::string number = "\" is missing or not a valid number";
    const std::string sha = "\" is missing or not a SHA-256 digest";
    expectRefused(
        documentOf(filesAlone()),
        {{"no job", drop("/jobId"), top + "\"jobId" + number},
         {"negative job", set("/jobId", -41), top + "\"jobId" + number},
         {"date not text", set("/createdAt", 20260301), top + "\"createdAt\" is not a string"},
         {"archive id past 32 bits", set("/archiveFiles/0/trellanId", 1ull << 32),
          "manifest m.json archive file 1: \"trellanId" + number},
         {"stream as text", set("/archiveFiles/1/stream", "2"),
          "manifest m.json archive file 2: \"stream" + number},
         {"size with a fraction", set("/files/0/size", 3000.0), file + "\"size" + number},
         {"no mode", drop("/files/0/mode"), file + "\"mode" + number},
         {"mode beyond the permission bits", set("/files/0/mode", 01000),
          file + "\"mode\" is not a permission mode"},
         {"digest in capitals", set("/files/0/sha256", std::string(64, 'A')),
          file + "\"sha256" + sha},
         {"digest one short", set("/files/0/sha256", std::string(63, 'a')),
          file + "\"sha256" + sha},
         {"share without seekOffset", drop("/files/0/streams/1/seekOffset"),
          "manifest m.json file 1 stream 2: \"seekOffset" + number},
         {"share digest not text", set("/files/0/streams/0/sha256", 7),
          "manifest m.json file 1 stream 1: \"sha256" + sha}});
}

TEST(ManifestRefusal, ListsAndSharesThatDoNotAddUpOrFollowEachOther) {
    const std::string a = "manifest m.json file 1", b = "manifest m.json file 2";
    const std::string misplaced =
        " is out of order, leaves a gap or runs past the end of the source";
    const auto swap = [](const std::string& list) {
        return [=](json& d) {
            json& items = d[json::json_pointer(list)];
            std::swap(items[0], items[1]);
        };
    };
    expectRefused(
        documentOf(filesAlone()),
        {{"no archive files", set("/archiveFiles", json::array()),
          "manifest m.json names no archiveFiles"},
         {"archive file not an object", set("/archiveFiles/0", 1),
          "manifest m.json archive file 1 is not an object"},
         {"archive files swapped", swap("/archiveFiles"),
          "manifest m.json archive file 1 is out of order"},
         {"66 streams",
          [](json& d) {
              for (int k = 3; k <= 66; ++k) d["archiveFiles"].push_back({{"stream", k}});
          },
          "manifest m.json names 66 streams; at most 65 can be restored"},
         {"no files", drop("/files"), "manifest m.json names no files"},
         {"file not an object", set("/files/1", "b"), b + " is not an object"},
         {"file without shares", set("/files/0/streams", json::array()), a + " names no streams"},
         {"source larger than its shares", set("/files/0/size", 3001),
          a + ": the streams hold 3000 bytes, the source 3001"},
         {"share past the end", set("/files/0/streams/1/size", 2001), a + " stream 2" + misplaced},
         {"gap between shares", set("/files/0/streams/1/sourceOffset", 1001),
          a + " stream 2" + misplaced},
         {"shares swapped", swap("/files/0/streams"), a + " stream 1" + misplaced},
         {"one share of two",
          [](json& d) {
              d["files"][0]["size"] = 1000;
              d["files"][0]["streams"].erase(1);
          },
          a + " has 1 streams, the set 2"},
         {"another archive file", set("/files/0/streams/0/afileId", 999),
          a + " stream 1 names another archive file than the set's"},
         {"share over the previous file's", set("/files/1/streams/1/seekOffset", 1999),
          b + " stream 2: \"seekOffset\" 1999 does not follow the previous file's share (2000)"},
         {"empty share not at its stream's end", set("/files/1/streams/0/seekOffset", 0),
          b + " stream 1: \"seekOffset\" 0 does not follow the previous file's share (1000)"}});
}

TEST(ManifestRefusal, NamesAndTreePaths) {
    const auto at = [](int n) { return "manifest m.json file " + std::to_string(n); };
    const std::string notAName = ": \"name\" is missing or not a file name";
    const std::string nul = " holds a NUL byte, which no file name can hold";
    const std::string unknownKind =
        ": \"kind\" is missing or not file, stream, directory or symlink";
    expectRefused(documentOf(filesAlone()),
                  {{"no name", drop("/files/0/name"), at(1) + notAName},
                   {"name not text", set("/files/0/name", 1), at(1) + notAName},
                   {"path in format 2", set("/files/0/name", "x/a"), at(1) + notAName},
                   {"name ..", set("/files/0/name", ".."), at(1) + notAName},
                   {"empty name", set("/files/0/name", ""), at(1) + notAName},
                   {"name with a NUL", set("/files/1/name", std::string("b\0c", 3)),
                    at(2) + " name \"b\"" + nul},
                   {"name twice", set("/files/1/name", "a"), at(2) + ": \"a\" is named twice"},
                   {"format 3 without kinds", set("/version", 3), at(1) + unknownKind}});
    // tree(): c, t, t/d, t/l (a link to d/f), t/d/f, s (a stream input).
    const auto path = [&](const std::string& name, const std::string& problem) {
        return Refusal{"a tree path", set("/files/4/name", name),
                       at(5) + ": the path \"" + name + "\" " + problem};
    };
    expectRefused(
        documentOf(tree()),
        {path("/t/d/f", "is absolute"),
         path("t/../f", "has a part \"..\", which climbs out"),
         path("t//f", "has an empty part"),
         path("t/./f", "has a part \".\""),
         {"NUL in a path", set("/files/4/name", std::string("t/d/f\0g", 7)),
          at(5) + " name \"t/d/f\"" + nul},
         {"directory not recorded", drop("/files/2"),
          at(4) + ": the directory of \"t/d/f\" is not recorded before it"},
         {"directory recorded after", [](json& d) { std::swap(d["files"][2], d["files"][4]); },
          at(3) + ": the directory of \"t/d/f\" is not recorded before it"},
         {"control byte shown escaped", set("/files/4/name", "t/\x01/f"),
          at(5) + ": the directory of \"t/\\x01/f\" is not recorded before it"},
         {"through the link", set("/files/4/name", "t/l/f"),
          at(5) + ": \"t/l/f\" would pass through the symbolic link \"t/l\" the set records"},
         {"under a file", set("/files/2/name", "c/d"),
          at(3) + ": \"c/d\" lies under \"c\", which is not a directory"},
         {"directory twice", set("/files/2/name", "t"), at(3) + ": \"t\" is named twice"},
         {"stream input in a tree", set("/files/5/name", "t/s"), at(6) + notAName},
         {"unknown kind", set("/files/1/kind", "fifo"), at(2) + unknownKind},
         {"mtime with a fraction", set("/files/1/mtime", 1.5),
          at(2) + ": \"mtime\" is not a whole number of nanoseconds"},
         {"link without target", drop("/files/3/target"),
          at(4) + ": \"target\" is missing, empty or holds a NUL"},
         {"link target with a NUL", set("/files/3/target", std::string("d\0f", 3)),
          at(4) + ": \"target\" is missing, empty or holds a NUL"},
         {"directory with set-group-id", set("/files/1/mode", 02755),
          at(2) + ": \"mode\" is not a permission mode"}});
}

TEST(ManifestRefusal, SparseSharesAndStreamInputs) {
    const std::string f = "manifest m.json file 5", s = "manifest m.json file 6";
    const std::string misplaced =
        " is out of order, leaves a gap or runs past the end of the source";
    const std::string notStripes = " is out of order or does not hold its stripes";
    expectRefused(
        documentOf(tree()),
        {{"shares not a list", set("/files/4/streams", json::object()),
          f + ": \"streams\" is missing or not a list"},
         {"share of a third stream", set("/files/4/streams/0/stream", 3),
          f + " share 1" + misplaced},
         {"the same stream twice", set("/files/0/streams/1/stream", 1),
          "manifest m.json file 1 share 2" + misplaced},
         {"sparse shares short", set("/files/4/size", 11),
          f + ": the streams hold 10 bytes, the source 11"},
         {"stripe unit 0", set("/files/5/stripeUnit", 0), s + ": \"stripeUnit\" 0 is out of range"},
         {"stripe unit past 1 MiB", set("/files/5/stripeUnit", (1 << 20) + 1),
          s + ": \"stripeUnit\" 1048577 is out of range"},
         {"no stripes", drop("/files/5/stripes"), s + ": \"stripes\" is missing or not a list"},
         {"a stripe short", drop("/files/5/stripes/2"), s + " has 2 stripes; its size needs 3"},
         {"stripe digest", set("/files/5/stripes/1", digest('g')),
          s + ": a stripe's digest is not a SHA-256 digest"},
         {"share not its stripes", set("/files/5/streams/0/size", 5), s + " stream 1" + notStripes},
         {"share not at its first stripe", set("/files/5/streams/1/sourceOffset", 6),
          s + " stream 2" + notStripes},
         {"one share of two", drop("/files/5/streams/1"), s + " stream 1" + notStripes},
         {"stream share over another", set("/files/5/streams/1/seekOffset", 0),
          s + " stream 2: \"seekOffset\" 0 does not follow the previous file's share (6)"}});
}

TEST(ManifestRefusal, StagesAndStoredShares) {
    const std::string at = "manifest m.json stages: ";
    const std::string codec = "\"codec\" is missing or not zstd, lz4 or none";
    const std::string share = "manifest m.json file 1 share 2: ";
    const std::string written = " (1 to 1048576, the frames this agent reads)";
    const std::string frames = " is out of range" + written;
    expectRefused(
        documentOf(staged()),
        {{"no stages", drop("/stages"), "manifest m.json: \"stages\" is missing or not an object"},
         {"stages not an object", set("/stages", "zstd"),
          "manifest m.json: \"stages\" is missing or not an object"},
         {"no codec", drop("/stages/codec"), at + codec},
         {"unknown codec", set("/stages/codec", "gzip"), at + codec},
         {"codec not text", set("/stages/codec", 1), at + "\"codec\" is not a string"},
         {"negative level", set("/stages/level", -1),
          at + "\"level\" is missing or not a valid number"},
         {"frame size 0", set("/stages/frameSize", 0), at + "\"frameSize\" 0" + frames},
         // The frames this agent writes are of 1 MiB: a manifest naming
         // larger ones would choose a restore's memory (three frames a
         // stream).
         {"frame size past 1 MiB", set("/stages/frameSize", (1 << 20) + 1),
          at + "\"frameSize\" 1048577" + frames},
         {"frame size of 64 MiB", set("/stages/frameSize", 64 << 20),
          at + "\"frameSize\" 67108864" + frames},
         {"framed stripes past 1 MiB", set("/files/2/stripeUnit", (1 << 20) + 1),
          "manifest m.json file 3: \"stripeUnit\" 1048577 is out of range"},
         {"wrapped key not text", set("/stages/wrappedKey", 1),
          at + "\"wrappedKey\" is not a string"},
         {"no stored size", drop("/files/0/streams/1/storedSize"),
          share + "\"storedSize\" is missing or not a valid number"},
         {"no stored digest", drop("/files/0/streams/1/storedSha256"),
          share + "\"storedSha256\" is missing or not a SHA-256 digest"},
         {"nothing stored of a share", set("/files/0/streams/1/storedSize", 0),
          share + "\"storedSize\" 0 does not fit its 2000 bytes"},
         {"stored bytes of an empty share",
          [](json& d) {
              json empty = d["files"][0]["streams"][0];
              empty["size"] = 0;
              d["files"][1]["streams"].insert(d["files"][1]["streams"].begin(), empty);
          },
          "manifest m.json file 2 share 1: \"storedSize\" 400 does not fit its 0 bytes"},
         {"placed after the logical bytes", set("/files/1/streams/0/seekOffset", 2000),
          "manifest m.json file 2 stream 2: \"seekOffset\" 2000 does not follow the previous "
          "file's share (900)"}});
    // The bounds themselves are accepted.
    json largest = documentOf(staged());
    largest["stages"]["frameSize"] = 1 << 20;
    largest["files"][0]["mode"] = 0777;
    const Manifest m = parseManifest(largest.dump(), "m.json");
    EXPECT_EQ(m.stages.frameSize, uint64_t{1} << 20);
    EXPECT_EQ(m.files[0].mode, 0777);
}

TEST(ManifestRefusal, TheFirstFormat) {
    expectRefused(firstFormat(),
                  {{"no source", drop("/source"), "manifest m.json: \"source\" is missing"},
                   {"source not an object", set("/source", "db.bin"),
                    "manifest m.json: \"source\" is missing"},
                   {"name not text", set("/source/name", 1),
                    "manifest m.json source: \"name\" is not a string"},
                   {"no size", drop("/source/size"),
                    "manifest m.json source: \"size\" is missing or not a valid number"},
                   {"no digest", drop("/source/sha256"),
                    "manifest m.json source: \"sha256\" is missing or not a SHA-256 digest"},
                   {"no shares", drop("/streams"), "manifest m.json names no streams"},
                   {"shares short of the source", set("/source/size", 31),
                    "manifest m.json: the streams hold 30 bytes, the source 31"},
                   {"stream numbered 3", set("/streams/1/stream", 3),
                    "manifest m.json stream 2 is out of order, leaves a gap or runs past the "
                    "end of the source"}});
}

// A number past a double's range ("1e400") makes the JSON reader throw
// out_of_range, not parse_error: a corrupt manifest all the same (exit 2).
TEST(ManifestRefusal, ANumberPastADoublesRangeIsCorruptText) {
    for (const std::string text :
         {"1e400", R"({"format": "pipeline-agent-manifest", "jobId": 1e400})"}) {
        EXPECT_EQ(refusal(text), corrupt(text)) << text;
    }
}

// Numbers that would wrap in the record's signed fields: a mode or a level
// of 2^31 or more would turn negative (a mode of 2^32 - 1 would read as -1,
// "not recorded"), an mtime past 2^63 - 1 a time before the epoch.
TEST(ManifestRefusal, NumbersThatWrapInTheirFields) {
    const std::string mode = "\" is not a permission mode";
    expectRefused(
        documentOf(tree()),
        {{"mode 2^32 - 1", set("/files/0/mode", 4294967295u),
          "manifest m.json file 1: \"mode" + mode},
         {"mode 2^31", set("/files/1/mode", 2147483648u), "manifest m.json file 2: \"mode" + mode},
         {"mtime 2^64 - 1", set("/files/1/mtime", 18446744073709551615u),
          "manifest m.json file 2: \"mtime\" is not a whole number of nanoseconds"}});
    expectRefused(documentOf(staged()),
                  {{"level 2^31", set("/stages/level", 2147483648u),
                    "manifest m.json stages: \"level\" is missing or not a valid number"}});
}

// Shares whose stored sizes add up past 2^64 in their archive file: the
// running end would wrap to 0 and let a later share overlap the first.
TEST(ManifestRefusal, AnArchiveFileThatWouldEndPast2To64Bytes) {
    Manifest m = twoStreams(2);
    m.archives.resize(1);
    const ManifestArchive one = m.archives[0];
    const uint64_t half = uint64_t{1} << 63;
    m.files = {file("a", 0644, half, {share(one, 0, 0, half, 'b')}),
               file("b", 0644, half, {share(one, 0, half, half, 'c')}),
               file("c", 0644, 10, {share(one, 0, 0, 10, 'd')})};
    EXPECT_EQ(refusal(manifestText(m)),
              "manifest m.json file 2 stream 1: its archive file would end past 2^64 bytes");
}

}  // namespace

namespace {

ManifestCluster aCluster() {
    ManifestCluster c;
    c.systemIdentifier = "7717247226639393324";
    c.serverVersion = 150018;
    c.timeline = 2;
    c.segmentSize = 16 << 20;
    c.startLsn = "0/8000028";
    c.stopLsn = "0/8000100";
    c.startWal = "000000020000000000000008";
    c.stopWal = "000000020000000000000008";
    c.startedAt = "2026-12-09T10:35:00Z";
    c.stoppedAt = "2026-12-09T10:35:01Z";
    c.backupLabel = "START WAL LOCATION: 0/8000028 (file 000000020000000000000008)\n";
    c.dataDirectory = "main";
    return c;
}

}  // namespace

TEST(ManifestClusterRecords, ABaseBackupsAndAWalJobsRecordsReadBackAndAreChecked) {
    Manifest backup = tree();
    backup.cluster = aCluster();
    expectSame(parseManifest(manifestText(backup), "m.json"), backup);
    EXPECT_EQ(parseManifest(manifestText(backup), "m.json").cluster, backup.cluster);

    Manifest wal = filesAlone();
    wal.wal = ManifestWal{"7717247226639393324",
                          16 << 20,
                          {{"00000002.history", "1\t0/9000000\tbefore 2026-12-09 14:02:00+00\n"}}};
    EXPECT_EQ(parseManifest(manifestText(wal), "m.json").wal, wal.wal);
    EXPECT_FALSE(parseManifest(manifestText(filesAlone()), "m.json").wal.has_value());

    expectRefused(documentOf(backup),
                  {{"a field missing", drop("/postgres/backupLabel"),
                    "manifest m.json postgres: \"backupLabel\" is missing"},
                   {"a number as text", set("/postgres/timeline", "2"),
                    "manifest m.json postgres: \"timeline\" is not a valid number"},
                   {"withWal not a boolean", set("/postgres/withWal", 1),
                    "manifest m.json postgres: \"withWal\" is not true or false"}});
    expectRefused(documentOf(wal),
                  {{"a history not text", set("/wal/histories/00000002.history", 3),
                    "manifest m.json wal: history 00000002.history is not text"},
                   {"no object", set("/wal", "x"), "manifest m.json wal is not an object"}});
}

TEST(ManifestClusterRecords, ABackupLabelAlteredInAGivenManifestDoesNotAgreeWithTheStoresCopy) {
    Manifest stored = tree();
    stored.cluster = aCluster();
    Manifest given = stored;
    EXPECT_TRUE(agreesWithStored(given, stored));
    given.cluster->backupLabel = "START WAL LOCATION: 0/1000028 (file 000000020000000000000001)\n";
    EXPECT_FALSE(agreesWithStored(given, stored));
    given.cluster.reset();
    EXPECT_FALSE(agreesWithStored(given, stored));
}

namespace {

// Format 5: an incremental job over one stream that holds "b" itself and
// refers to job 7 (two streams, compressed) for "a", whose share on job 7's
// stream 2 lies past bytes of a file this job changed.
Manifest chained() {
    Manifest m = twoStreams(5);
    m.archives = {{1, 10, 3, 102}};
    ManifestReference full;
    full.jobId = 7;
    full.archives = {{1, 10, 1, 100}, {2, 10, 2, 101}};
    full.stages = {true, Codec::Lz4, 0, 1 << 20, ""};
    m.references = {full};
    m.chain = ManifestChain{"nightly", BackupType::Incr, 9, 7, 2};
    ManifestFile a = file("a", 0644, 3000,
                          {framed(full.archives[0], 0, 0, 1000, 400),
                           framed(full.archives[1], 1000, 5000, 2000, 900)});
    a.heldBy = 7;
    a.hasMtime = a.hasIdentity = true;
    a.mtime = 1'700'000'000'000'000'001;
    a.inode = 4242;
    a.ctime = 1'700'000'000'000'000'002;
    m.files = {a, file("b", 0600, 10, {share(m.archives[0], 0, 0, 10, 'd')})};
    return m;
}

}  // namespace

TEST(ManifestChainRecords, AJobThatRefersToAnotherReadsBackAndIsChecked) {
    const Manifest m = chained();
    const Manifest back = parseManifest(manifestText(m), "m.json");
    expectSame(back, m);
    EXPECT_EQ(back.references, m.references);
    EXPECT_EQ(back.chain, m.chain);
    EXPECT_EQ(back.files[0].heldBy, 7u);
    EXPECT_EQ(back.files[1].heldBy, 0u);
    EXPECT_EQ(std::tie(back.files[0].inode, back.files[0].ctime),
              std::tie(m.files[0].inode, m.files[0].ctime));
    // What a restore of "a" reads: job 7's archive files and stages.
    const Manifest held = jobView(back, 7);
    EXPECT_EQ(std::tie(held.jobId, held.archives, held.stages),
              std::tie(m.references[0].jobId, m.references[0].archives, m.references[0].stages));
    EXPECT_EQ(thrown([&] { jobView(back, 8); }).first, "job 41 refers to no job 8");

    const std::string top = "manifest m.json: ", file1 = "manifest m.json file 1";
    expectRefused(
        documentOf(m),
        {
            {"held by a job it does not refer to", set("/files/0/heldBy", 8),
             file1 + ": \"heldBy\" names no job of the references, or names one for what is not a "
                     "file"},
            {"a reference to itself", set("/references/0/jobId", 41),
             "manifest m.json reference 1 names job 41"},
            {"a job referred to twice",
             [](json& d) { d["references"].push_back(d["references"][0]); },
             "manifest m.json reference 2 names its job twice"},
            {"a held share in another archive file", set("/files/0/streams/1/afileId", 102),
             file1 + " names another archive file than job 7's"},
            {"held shares that leave a gap", set("/files/0/streams/1/sourceOffset", 1001),
             file1 + " share 2 is out of order, leaves a gap or runs past the end of the source"},
            {"an inode without its change time", drop("/files/0/ctime"),
             file1 + ": \"inode\" needs \"ctime\" and \"mtime\" beside it"},
            {"an incr that names no full", drop("/backup/full"),
             "manifest m.json backup: \"full\" is missing or not a job id"},
            {"an unknown kind", set("/backup/type", "weekly"),
             "manifest m.json backup: \"type\" is missing or not full, diff or incr"},
            {"no references", drop("/references"),
             top.substr(0, top.size() - 2) + " names no references"},
        });
    // A given manifest that reads a file from another job, or another job's
    // archive files, does not agree with the store's copy.
    EXPECT_TRUE(agreesWithStored(back, m));
    Manifest rerouted = m;
    rerouted.files[0].heldBy = 0;
    EXPECT_FALSE(agreesWithStored(rerouted, m));
    rerouted = m;
    rerouted.references[0].archives[1].afileId = 109;
    EXPECT_FALSE(agreesWithStored(rerouted, m));
    // Format 4 knows no references: a file held elsewhere is refused there.
    json four = documentOf(m);
    four["version"] = 4;
    four["stages"] = documentOf(staged())["stages"];
    EXPECT_EQ(
        refusal(four.dump()),
        file1 + ": \"heldBy\" names no job of the references, or names one for what is not a file");
}

namespace {

std::string blockDigests(std::size_t count, char first) {
    std::string blocks;
    for (std::size_t i = 0; i < count; ++i) blocks += digest(static_cast<char>(first + i));
    return blocks;
}

// A piece of a job's archive file; framed when frames are given.
ManifestPiece piece(unsigned long long heldBy, const ManifestArchive& a, uint64_t source,
                    uint64_t seek, uint64_t size, std::vector<uint64_t> frames = {},
                    uint64_t frameIndex = 0, uint64_t frameOffset = 0) {
    ManifestPiece p;
    p.heldBy = heldBy;
    p.archive = a;
    p.sourceOffset = source;
    p.seekOffset = seek;
    p.size = size;
    p.storedSize = size;
    if (!frames.empty()) {
        p.storedSize = 0;
        for (uint64_t f : frames) p.storedSize += f;
        p.frames = std::move(frames);
        p.frameIndex = frameIndex;
        p.frameOffset = frameOffset;
    }
    if (heldBy == 0) {
        p.sha256 = digest('e');
        p.storedSha256 = digest('e');
    }
    return p;
}

// Format 5 with blocks of 1 KiB: "b" on this job's one stream, then "a" of
// 5000 bytes in three pieces: blocks 0-1 from job 7's stream 2 (frames of
// 1 KiB, the piece 100 bytes into frame 3 of that share: three frames),
// block 2 its own after "b", blocks 3-4 (the last one short) from job 7's
// stream 1.
Manifest pieced() {
    Manifest m = chained();
    const ManifestReference& full = m.references[0];
    m.references[0].stages.frameSize = 1024;
    ManifestFile a = file("a", 0644, 5000, {});
    a.blockSize = 1024;
    a.blocks = blockDigests(5, 'a');
    a.pieces = {piece(7, full.archives[1], 0, 5000, 2048, {300, 310, 320}, 3, 100),
                piece(0, m.archives[0], 2048, 10, 1024),
                piece(7, full.archives[0], 3072, 0, 1928, {500, 400})};
    m.files = {file("b", 0600, 10, {share(m.archives[0], 0, 0, 10, 'd')}), a};
    return m;
}

void expectSameBlocks(const Manifest& back, const Manifest& m) {
    ASSERT_EQ(back.files.size(), m.files.size());
    for (std::size_t i = 0; i < m.files.size(); ++i) {
        SCOPED_TRACE("file " + m.files[i].name);
        EXPECT_EQ(back.files[i].blockSize, m.files[i].blockSize);
        EXPECT_EQ(back.files[i].blocks, m.files[i].blocks);
        EXPECT_EQ(back.files[i].pieces, m.files[i].pieces);
        EXPECT_EQ(back.files[i].shares, m.files[i].shares);
    }
}

}  // namespace

TEST(ManifestBlockRecords, BlockDigestsFramesAndPiecesReadBackAsWritten) {
    // A full backup's file with its blocks, each framed share with its frames.
    Manifest full = staged();
    full.files[0].blockSize = 1024;
    full.files[0].blocks = blockDigests(3, 'a');
    full.files[0].shares[0].frames = {400};
    full.files[0].shares[1].frames = {900};
    expectSame(parseManifest(manifestText(full), "m.json"), full);
    expectSameBlocks(parseManifest(manifestText(full), "m.json"), full);

    const Manifest m = pieced();
    const Manifest back = parseManifest(manifestText(m), "m.json");
    expectSame(back, m);
    expectSameBlocks(back, m);
    // A file in pieces records neither shares nor heldBy; an own piece its
    // digests, a held one none.
    const json entry = documentOf(m)["files"][1];
    EXPECT_FALSE(entry.contains("streams") || entry.contains("heldBy")) << entry;
    EXPECT_EQ(entry["pieces"][0].value("heldBy", 0), 7);
    EXPECT_FALSE(entry["pieces"][0].contains("sha256"));
    EXPECT_FALSE(entry["pieces"][1].contains("heldBy") || entry["pieces"][1].contains("frames"));
    EXPECT_EQ(entry["pieces"][1]["sha256"], digest('e'));
    // The store's copy and a given manifest that differs in a piece disagree.
    Manifest altered = m;
    altered.files[1].pieces[2].seekOffset = 1;
    EXPECT_TRUE(agreesWithStored(m, back));
    EXPECT_FALSE(agreesWithStored(altered, back));
}

TEST(ManifestPartsDigest, TiesTheReadBackPartsToTheFileAndIsRefusedWhenNotADigest) {
    // The tree's nested file has an empty share on stream 2, which the text
    // leaves out and the reader puts back: its parts' digest stays the same.
    Manifest m = tree();
    for (ManifestFile& f : m.files) {
        if (f.hasData()) f.partsSha256 = partsDigest(f);
    }
    const Manifest back = parseManifest(manifestText(m), "m.json");
    expectSame(back, m);
    for (const ManifestFile& f : back.files) {
        if (f.hasData()) {
            EXPECT_EQ(partsDigest(f), f.partsSha256) << f.name;
        }
    }
    EXPECT_FALSE(documentOf(tree())["files"][0].contains("partsSha256"));
    // Each part's digest, the file's and their order count; a stream
    // input's parts are its stripes.
    ManifestFile swapped = m.files[0];
    std::swap(swapped.shares[0].sha256, swapped.shares[1].sha256);
    ManifestFile other = m.files[0];
    other.sha256 = digest('9');
    ManifestFile stream = m.files[5];
    stream.stripes[1] = digest('9');
    EXPECT_NE(partsDigest(swapped), m.files[0].partsSha256);
    EXPECT_NE(partsDigest(other), m.files[0].partsSha256);
    EXPECT_NE(partsDigest(stream), m.files[5].partsSha256);
    expectRefused(documentOf(m),
                  {{"not a digest", set("/files/0/partsSha256", "0"),
                    "manifest m.json file 1: \"partsSha256\" is missing or not a SHA-256 digest"}});
}

TEST(ManifestBlockRecords, BlocksAndFramesThatDoNotAddUpAreRefused) {
    Manifest full = staged();
    full.files[0].blockSize = 1024;
    full.files[0].blocks = blockDigests(3, 'a');
    full.files[0].shares[1].frames = {900};
    const std::string a = "manifest m.json file 1";
    const std::string blocks = ": \"blocks\" is not one SHA-256 digest for each of its 3 blocks";
    expectRefused(
        documentOf(full),
        {{"a block short", set("/files/0/blocks", blockDigests(2, 'a')), a + blocks},
         {"a digest in capitals", set("/files/0/blocks", blockDigests(2, 'a') + digest('A')),
          a + blocks},
         {"blocks not text", set("/files/0/blocks", json::array()), a + blocks},
         {"block size 0", set("/files/0/blockSize", 0),
          a + ": \"blockSize\" 0 is out of range (1 to 1048576)"},
         {"blocks without their size", drop("/files/0/blockSize"),
          a + ": \"blockSize\" and \"blocks\" go together"},
         {"frames past the stored size", set("/files/0/streams/1/frames", {500, 401}),
          a + " share 2 lists 2 frames; 2000 bytes in frames of 1048576 make 1"},
         {"frames short of the stored size", set("/files/0/streams/1/frames", {899}),
          a + " share 2: its frames add up to 899 stored bytes, not its \"storedSize\" 900"},
         {"an empty frame", set("/files/0/streams/1/frames", {0}),
          a + " share 2: \"frames\" is not a list of stored sizes"}});
    // Bytes stored as they are have no frames.
    json plain = documentOf(filesAlone());
    plain["files"][0]["streams"][0]["frames"] = {1000};
    plain["version"] = 3;
    plain["files"][0]["kind"] = plain["files"][1]["kind"] = "file";
    EXPECT_EQ(refusal(plain.dump()), a + " share 1: \"frames\" are for bytes stored as frames");
}

TEST(ManifestBlockRecords, PiecesThatDoNotTileTheFileBlockByBlockAreRefused) {
    const std::string at = "manifest m.json file 2", p = at + " piece ";
    const std::string misplaced = " is out of order, leaves a gap or runs past the end of the file";
    const auto both = [](const std::string& field, uint64_t value) {
        return [=](json& d) {
            d["files"][1]["pieces"][1][field] = value;
            d["files"][1]["pieces"][2]["sourceOffset"] = 2048 + (field == "size" ? value : 1024);
        };
    };
    expectRefused(
        documentOf(pieced()),
        {{"a gap", set("/files/1/pieces/1/sourceOffset", 3072), p + "2" + misplaced},
         {"past the end", set("/files/1/pieces/2/size", 1929), p + "3" + misplaced},
         {"ending before the file inside a block", set("/files/1/size", 5001),
          p + "3 does not start and end at block boundaries"},
         {"ending before the file at a block's end",
          [](json& d) {
              d["files"][1]["size"] = 6144;
              d["files"][1]["blocks"] = blockDigests(6, 'a');
              d["files"][1]["pieces"][2]["size"] = 2048;
          },
          at + ": the pieces hold 5120 bytes, the file 6144"},
         {"a digest for a block it does not have", set("/files/1/size", 4096),
          at + ": \"blocks\" is not one SHA-256 digest for each of its 4 blocks"},
         {"not at a block's end", both("size", 1000),
          p + "2 does not start and end at block boundaries"},
         {"held by a job it does not refer to", set("/files/1/pieces/0/heldBy", 8),
          p + "1: \"heldBy\" names no job of the references"},
         {"held in another archive file", set("/files/1/pieces/2/afileId", 102),
          p + "3 names another archive file than job 7's"},
         {"own in another archive file", set("/files/1/pieces/1/afileId", 100),
          p + "2 names another archive file than the set's"},
         {"own over the share before it", set("/files/1/pieces/1/seekOffset", 9),
          p + "2: \"seekOffset\" 9 does not follow the previous share or piece (10)"},
         {"own without its digest", drop("/files/1/pieces/1/sha256"),
          p + "2: \"sha256\" is missing or not a SHA-256 digest"},
         {"own stored size not its size", set("/files/1/pieces/1/storedSize", 1000),
          p + "2: \"storedSize\" 1000 is not its size, 1024, of bytes stored as they are"},
         {"frames for bytes stored as they are", set("/files/1/pieces/1/frames", {1024}),
          p + "2: its job's bytes are stored as they are, not as frames"},
         {"held frames missing", drop("/files/1/pieces/0/frames"), p + "1: \"frames\" is missing"},
         {"held frames one short", set("/files/1/pieces/0/frameOffset", 0),
          p + "1 lists 3 frames; 2048 bytes in frames of 1024 make 2"},
         {"past its first frame", set("/files/1/pieces/0/frameOffset", 1024),
          p + "1: \"frameOffset\" 1024 lies past its first frame"},
         {"no blocks",
          [](json& d) {
              d["files"][1].erase("blocks");
              d["files"][1].erase("blockSize");
          },
          at + ": \"pieces\" need \"blockSize\" and \"blocks\" beside them"},
         {"pieces beside shares", set("/files/1/streams", json::array()),
          at + ": \"pieces\" stand instead of \"streams\" and \"heldBy\""},
         {"no pieces", set("/files/1/pieces", json::array()), at + " names no pieces"}});
    // Format 4 has no pieces.
    json four = documentOf(staged());
    four["files"][1]["pieces"] = documentOf(pieced())["files"][1]["pieces"];
    EXPECT_EQ(refusal(four.dump()),
              "manifest m.json file 2: \"pieces\" are for a file of a manifest of version 5");
}

TEST(ManifestBlockRecords, OwnFramedPiecesNumberTheirFramesOnFromThoseBefore) {
    // A framed incremental job over one stream: its own blocks 0 and 2 of
    // "a" (1 KiB frames) on its stream, block 1 from job 7.
    Manifest m = chained();
    m.stages = {true, Codec::Zstd, 3, 1024, ""};
    m.references[0].stages.frameSize = 1024;
    const ManifestReference& full = m.references[0];
    ManifestFile a = file("a", 0644, 3000, {});
    a.blockSize = 1024;
    a.blocks = blockDigests(3, 'a');
    a.pieces = {piece(0, m.archives[0], 0, 30, 1024, {200}, 0),
                piece(7, full.archives[0], 1024, 0, 1024, {210}, 1),
                piece(0, m.archives[0], 2048, 230, 952, {190}, 1)};
    ManifestFile b = file("b", 0600, 10, {framed(m.archives[0], 0, 0, 10, 30)});
    m.files = {b, a};
    expectSameBlocks(parseManifest(manifestText(m), "m.json"), m);
    const std::string p = "manifest m.json file 2 piece 3: ";
    expectRefused(
        documentOf(m),
        {{"a frame index taken twice", set("/files/1/pieces/2/frameIndex", 0),
          p + "\"frameIndex\" 0 does not follow the file's frames before it on its stream (1)"},
         {"an own piece into a frame", set("/files/1/pieces/2/frameOffset", 1),
          p + "\"frameIndex\" 1 does not follow the file's frames before it on its stream (1)"}});
}
