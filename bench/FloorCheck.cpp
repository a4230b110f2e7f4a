#include "bench/FloorCheck.h"

#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "platform/fake/FakePlatform.h"

namespace {

using fakeplatform::Call;
using fakeplatform::Op;

// Numbers objects in the order they first appear.
class Renumbering {
public:
    int operator()(int number) {
        if (number == 0) return 0;
        return m_numbers.emplace(number, static_cast<int>(m_numbers.size()) + 1).first->second;
    }

private:
    std::map<int, int> m_numbers;
};

template <typename Record>
std::string bytes(const Record& record) {
    std::ostringstream out;
    const auto* data = reinterpret_cast<const unsigned char*>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i) out << static_cast<int>(data[i]) << '.';
    return out.str();
}

// One line per call: everything the call was given and answered, but the
// addresses of objects and bodies.
std::vector<std::string> signature(const std::vector<Call>& calls) {
    Renumbering archives;
    Renumbering sessions;
    std::vector<std::string> lines;
    for (const Call& call : calls) {
        std::ostringstream out;
        out << fakeplatform::opName(call.op) << " archive " << archives(call.archive) << " session "
            << sessions(call.session) << " result " << call.result << " threw " << call.threw
            << " null " << call.nullArg1 << call.nullArg2 << " flag " << call.flag << " text "
            << call.text.value_or("<none>") << " param " << call.objectParam << " machine "
            << call.machineName.value_or("<none>") << " context " << call.restartContext
            << " pause " << call.pauseMs << ' ' << call.unit.value_or("<none>") << ' ' << call.line
            << " setting " << call.section.value_or("<none>") << '/' << call.key;
        if (call.log) {
            out << " log " << call.log->method << '|' << call.log->function << '|'
                << call.log->level << '|' << call.log->text;
        }
        if (call.setupArgs) {
            const SetupPipelineArgs_t& a = *call.setupArgs;
            out << " setup " << a.recordKind << ',' << a.dataType << ',' << a.setupValue2 << ','
                << a.reserved24 << ',' << a.setupValue3 << ',' << a.setupValue1 << ',' << a.text48
                << ',' << a.reserved80 << ',' << a.reserved88 << ',' << a.reserved96 << ','
                << a.reserved104 << ',' << a.setupText << ',' << a.typeCode << ',' << a.typeDetail
                << ',' << a.reserved168 << ',' << a.pipelineKind << ',' << a.useIndexing << ','
                << a.reserved192 << ',' << a.reserved200 << ',' << a.flag208;
        }
        if (call.createArgs) {
            const CreateArgs_t& a = *call.createArgs;
            out << " create " << a.createText << ',' << a.reserved32 << ',' << a.typeCode << ','
                << a.dataType << ',' << bytes(a.reserved56);
        }
        if (call.createRet) out << " created " << bytes(*call.createRet);
        if (call.closeAfileArgs) {
            // Field by field: bytes 12-15 are padding.
            const CloseAfileArgs_t& a = *call.closeAfileArgs;
            out << " closeAfile " << a.trellanId << ',' << a.groupNumber << ',' << a.afileId << ','
                << a.reserved16 << ',' << a.reserved24 << ',' << a.reserved28;
        }
        if (call.closePipelineArgs) out << " closePipeline " << bytes(*call.closePipelineArgs);
        if (call.openArgs) {
            const OpenArgs_t& a = *call.openArgs;
            out << " open " << a.afileId << ',' << a.groupNumber << ',' << a.subclientId << ','
                << a.trellanId << ',' << a.archiveOpenParam << ',' << a.openArgsValue << ','
                << a.text48 << ',' << a.reserved80;
        }
        if (call.archiveFileId) out << " id " << bytes(*call.archiveFileId);
        if (call.messageType) out << " type " << *call.messageType;
        if (call.message) {
            const fakeplatform::SentMessage& m = *call.message;
            out << " message " << m.code << ',' << m.hasBuffer << ',' << m.bodyLength << ','
                << m.arg1 << ',' << m.arg2 << ',' << m.flagOnEntry;
            if (m.open) out << " body " << bytes(*m.open);
            if (m.seek) {
                out << " seek " << m.seek->count;
                for (const auto& element : m.seekElements) out << ',' << bytes(element);
            }
        }
        lines.push_back(out.str());
    }
    return lines;
}

}  // namespace

std::string checkFloor(CaseKind kind, unsigned long streams) {
    fakeplatform::FakePlatform fake(fakeplatform::Recording::Journal);
    const auto benchCase = makeCase(kind, streams, fake);
    benchCase->setUp();
    std::vector<std::string> seen[2];
    bool ok[2] = {false, false};
    for (const Side side : {Side::Library, Side::Floor}) {
        const int i = side == Side::Library ? 0 : 1;
        benchCase->prepare(side);
        fake.clearJournal();
        ok[i] = benchCase->run(side);
        seen[i] = signature(fake.allCalls());
        benchCase->finish(side);
    }
    benchCase->tearDown();

    std::ostringstream why;
    why << caseName(kind) << '/' << streams << ": ";
    if (!ok[0] || !ok[1]) {
        why << "a step failed (library " << ok[0] << ", floor " << ok[1] << ")";
        return why.str();
    }
    for (std::size_t n = 0; n < seen[0].size() || n < seen[1].size(); ++n) {
        const std::string library = n < seen[0].size() ? seen[0][n] : "<nothing>";
        const std::string floor = n < seen[1].size() ? seen[1][n] : "<nothing>";
        if (library != floor) {
            why << "call " << n + 1 << " differs:\n  library: " << library
                << "\n  floor:   " << floor;
            return why.str();
        }
    }
    return std::string();
}
