#include "jobs/restore/PieceRuns.h"

#include <algorithm>

namespace {

// The jobs that hold pieces of files, the manifest's own (0) first, then in
// the order the files name them.
std::vector<unsigned long long> holdersOf(const std::vector<const ManifestFile*>& files) {
    std::vector<unsigned long long> holders{0};
    for (const ManifestFile* file : files) {
        for (const ManifestPiece& piece : file->pieces) {
            if (std::find(holders.begin(), holders.end(), piece.heldBy) == holders.end()) {
                holders.push_back(piece.heldBy);
            }
        }
    }
    return holders;
}

// One stream's pieces of one holder, cut where a run must end.
std::vector<std::vector<PieceRead>> stretchesOf(std::vector<PieceRead> reads,
                                                const std::vector<const ManifestFile*>& files) {
    const auto piece = [&](const PieceRead& r) -> const ManifestPiece& {
        return files[r.file]->pieces[r.piece];
    };
    std::stable_sort(reads.begin(), reads.end(), [&](const PieceRead& a, const PieceRead& b) {
        return piece(a).seekOffset < piece(b).seekOffset;
    });
    std::vector<std::vector<PieceRead>> stretches;
    uint64_t end = 0;
    for (const PieceRead& read : reads) {
        const ManifestPiece& p = piece(read);
        if (stretches.empty() || p.seekOffset < end || p.seekOffset - end > kMostSkipped) {
            stretches.emplace_back();
        }
        stretches.back().push_back(read);
        end = p.seekOffset + p.storedSize;
    }
    return stretches;
}

}  // namespace

std::vector<PieceRun> pieceRuns(const std::vector<const ManifestFile*>& files,
                                const Manifest& manifest) {
    std::vector<PieceRun> runs;
    for (const unsigned long long holder : holdersOf(files)) {
        const std::vector<ManifestArchive>& archives =
            holder == 0 ? manifest.archives : manifest.referenceTo(holder)->archives;
        std::vector<std::vector<PieceRead>> byStream(archives.size());
        for (std::size_t f = 0; f < files.size(); ++f) {
            for (std::size_t p = 0; p < files[f]->pieces.size(); ++p) {
                const ManifestPiece& piece = files[f]->pieces[p];
                if (piece.heldBy == holder) byStream[piece.archive.stream - 1].push_back({f, p});
            }
        }
        std::vector<std::vector<std::vector<PieceRead>>> stretches;
        std::size_t count = 0;
        for (std::vector<PieceRead>& reads : byStream) {
            stretches.push_back(stretchesOf(std::move(reads), files));
            count = std::max(count, stretches.back().size());
        }
        for (std::size_t r = 0; r < count; ++r) {
            PieceRun run;
            run.holder = holder;
            run.start.heldBy = holder;
            run.start.name = files.front()->name;
            for (std::size_t k = 0; k < archives.size(); ++k) {
                ManifestShare start;
                start.archive = archives[k];
                if (r < stretches[k].size()) {
                    const PieceRead& first = stretches[k][r].front();
                    start.seekOffset = files[first.file]->pieces[first.piece].seekOffset;
                    run.streams.push_back(std::move(stretches[k][r]));
                } else {
                    run.streams.emplace_back();
                }
                run.start.shares.push_back(start);
            }
            runs.push_back(std::move(run));
        }
    }
    return runs;
}

std::string holderName(unsigned long long holder) {
    return holder == 0 ? "of this job" : "of job " + std::to_string(holder);
}

std::vector<std::size_t> piecesRead(const PieceRun& run, std::size_t files) {
    std::vector<std::size_t> count(files, 0);
    for (const std::vector<PieceRead>& stream : run.streams) {
        for (const PieceRead& read : stream) ++count[read.file];
    }
    return count;
}
