#include "pipeline/miner.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

#include "motifs/statistics.hpp"
#include "patterns/pattern_miner.hpp"
#include "pipeline/ranking.hpp"
#include "sax/sax.hpp"

namespace qor {

void Miner::collect_and_rank(const std::shared_ptr<const Collection>& ts, Workers& workers) {
    collect_and_rank(ts, sax(*ts, seglen, alphabet, workers), workers);
}

void Miner::collect_and_rank(const std::shared_ptr<const Collection>& ts, std::vector<Word> words, Workers& workers) {
    // A fresh collection on every call: motifs of an earlier call would
    // be scored again, from their old sums, against other series.
    motifs.clear();
    {
        PatternMiner miner(minsup, min_len, max_len, max_overlap);
        miner.mine(words, workers);
        std::vector<Word>().swap(words);
        motifs.reserve(miner.frequent.size());
        for (auto& entry : miner.frequent) motifs.push_back(std::move(entry.second));
    }
    prepare_motifs(motifs, seglen);
    score_motifs(motifs, *ts, workers);
    for (Motif& m : motifs) m.average_occurrences = AverageRows(ts);
    rank_motifs(motifs);
}

std::vector<Motif> Miner::mine(Collection ts, Workers& workers) {
    check_alphabet(alphabet);
    // As after any failure of the inputs (a segment count), no motifs.
    motifs.clear();
    std::vector<Word> words = znormalize_and_sax(ts, seglen, alphabet, workers);
    return mine_normalised(std::move(ts), std::move(words), workers);
}

std::vector<Motif> Miner::mine_normalised(Collection ts, std::vector<Word> words, Workers& workers) {
    check_alphabet(alphabet);
    bool matching = words.size() == ts.size();
    for (std::size_t i = 0; matching && i < ts.size(); ++i)
        matching = words[i].size() == static_cast<std::size_t>(segment_count(ts.length(i), seglen));
    if (!matching) throw std::invalid_argument("mine_normalised: the words are not those of the series");
    collect_and_rank(std::make_shared<const Collection>(std::move(ts)), std::move(words), workers);
    return top_motifs(motifs, k);
}

std::vector<Motif> Miner::mine_normalised(Collection ts, Workers& workers) {
    check_alphabet(alphabet);
    collect_and_rank(std::make_shared<const Collection>(std::move(ts)), workers);
    return top_motifs(motifs, k);
}

}  // namespace qor
