// SPDX-License-Identifier: MIT
#include "script.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tsllab {

namespace {

constexpr int kMaxSeq = 65535;

bool parseInt(std::string_view text, int lo, int hi, int* out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi)
        return false;
    *out = value;
    return true;
}

std::vector<std::string_view> splitCommas(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        auto comma = text.find(',');
        parts.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return parts;
        text.remove_prefix(comma + 1);
    }
}

// A comma list of sequence numbers, or "all" (when allowed) as -1.
bool parseSeqs(std::string_view text, bool allowAll, std::vector<int>* seqs) {
    if (allowAll && text == "all") {
        seqs->push_back(-1);
        return true;
    }
    for (auto part : splitCommas(text)) {
        int seq = 0;
        if (!parseInt(part, 0, kMaxSeq, &seq)) return false;
        seqs->push_back(seq);
    }
    return true;
}

}  // namespace

std::optional<Script> parseScript(const std::vector<std::string>& args, std::string* error) {
    Script s;
    auto fail = [&](const std::string& why) -> std::optional<Script> {
        if (error) *error = why;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (i + 1 >= args.size()) return fail("missing value after " + opt);
        const std::string_view value = args[++i];
        const std::string bad = "bad value '" + std::string(value) + "' for " + opt;
        std::vector<int> seqs;
        if (opt == "--count") {
            if (!parseInt(value, 1, kMaxSeq + 1, &s.count)) return fail(bad);
        } else if (opt == "--trains") {
            if (!parseInt(value, 1, 1000, &s.trains)) return fail(bad);
        } else if (opt == "--scripted-trains") {
            if (!parseInt(value, 0, 1000, &s.scriptedTrains)) return fail(bad);
        } else if (opt == "--linger") {
            if (!parseInt(value, 0, 600000, &s.lingerMs)) return fail(bad);
        } else if (opt == "--timeout") {
            if (!parseInt(value, 1, 3600, &s.timeoutSec)) return fail(bad);
        } else if (opt == "--order") {
            if (!parseSeqs(value, false, &seqs)) return fail(bad);
            std::vector<int> sorted = seqs;
            std::sort(sorted.begin(), sorted.end());
            if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
                return fail(bad + ": a sequence number appears twice");
            s.order = seqs;
        } else if (opt == "--dup" || opt == "--drop") {
            if (!parseSeqs(value, true, &seqs)) return fail(bad);
            bool& all = opt == "--dup" ? s.dupAll : s.dropAll;
            std::set<int>& set = opt == "--dup" ? s.dup : s.drop;
            for (int seq : seqs) {
                if (seq < 0)
                    all = true;
                else
                    set.insert(seq);
            }
        } else if (opt == "--delay") {
            for (auto part : splitCommas(value)) {
                auto colon = part.find(':');
                int seq = 0, ms = 0;
                if (colon == std::string_view::npos || !parseInt(part.substr(0, colon), 0, kMaxSeq, &seq) ||
                    !parseInt(part.substr(colon + 1), 0, 600000, &ms))
                    return fail(bad + " (want SEQ:MS)");
                s.delayMs[seq] = ms;
            }
        } else if (opt == "--before" || opt == "--after") {
            auto eq = value.find('=');
            if (eq == std::string_view::npos || !parseSeqs(value.substr(0, eq), true, &seqs))
                return fail(bad + " (want SEQS=CASE,...)");
            std::vector<Case> cases;
            for (auto part : splitCommas(value.substr(eq + 1))) {
                std::string why;
                auto c = parseCase(part, &why);
                if (!c) return fail(why);
                cases.push_back(*c);
            }
            auto& table = opt == "--before" ? s.before : s.after;
            for (int seq : seqs) table[seq].insert(table[seq].end(), cases.begin(), cases.end());
        } else {
            return fail("unknown option " + opt);
        }
    }
    return s;
}

bool Train::listed(int seq) const {
    return scripted() && std::find(script_.order.begin(), script_.order.end(), seq) != script_.order.end();
}

void Train::release(const EchoRequest& req, std::int64_t nowUs, std::vector<Outgoing>& out) {
    if (!scripted()) {
        out.push_back({nowUs, buildEchoReply(req, ipId_++)});
        return;
    }
    const int seq = req.seq();
    auto delay = script_.delayMs.find(seq);
    const std::int64_t due = nowUs + (delay == script_.delayMs.end() ? 0 : delay->second * std::int64_t{1000});
    auto emit = [&](std::vector<Bytes> datagrams) {
        for (auto& d : datagrams) out.push_back({due, std::move(d)});
    };
    auto emitCases = [&](const std::map<int, std::vector<Case>>& table) {
        for (int key : {-1, seq}) {
            auto it = table.find(key);
            if (it == table.end()) continue;
            for (const Case& c : it->second) emit(buildCase(c, req, ipId_));
        }
    };
    emitCases(script_.before);
    if (!script_.dropAll && !script_.drop.count(seq)) {
        emit({buildEchoReply(req, ipId_++)});
        if (script_.dupAll || script_.dup.count(seq)) emit({buildEchoReply(req, ipId_++)});
    }
    emitCases(script_.after);
}

std::vector<Outgoing> Train::onRequest(const EchoRequest& req, std::int64_t nowUs) {
    std::vector<Outgoing> out;
    if (finished()) return out;
    ++requestsSeen_;
    ++inTrain_;
    const int seq = req.seq();
    if (!listed(seq)) {
        release(req, nowUs, out);
    } else {
        held_[seq] = req;
        while (nextInOrder_ < script_.order.size()) {
            auto it = held_.find(script_.order[nextInOrder_]);
            if (it == held_.end()) break;
            release(it->second, nowUs, out);
            held_.erase(it);
            ++nextInOrder_;
        }
    }
    if (inTrain_ >= script_.count) {
        // The train is complete: whatever is still held goes out now, in the
        // listed order.
        for (int s : script_.order) {
            auto it = held_.find(s);
            if (it == held_.end()) continue;
            release(it->second, nowUs, out);
            held_.erase(it);
        }
        held_.clear();
        nextInOrder_ = 0;
        inTrain_ = 0;
        ++trainsDone_;
    }
    return out;
}

}  // namespace tsllab
