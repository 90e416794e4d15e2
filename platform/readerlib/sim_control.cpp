// The simulated reader's control commands: one line from the control socket
// in, one reply line out (docs/readersim.md). Runs on the control thread.
#include <set>

#include "sim_engine.h"

namespace readersim {

namespace {

const auto kDeliveryWait = std::chrono::seconds(5);
const size_t kMaxChainRecords = 1000;
const uint64_t kMaxFloodTags = 1000000000;
const uint32_t kMaxFloodRate = 10000000;

const char kHelp[] =
    "OK commands: release | fail NAME [CODE] | ok NAME | withhold NAME | deliver NAME | "
    "starterror CODE | stopresult CODE | flags VALUE | auto on|off | "
    "report start|heartbeat|stop [code=N] [handle=H] [via=V] | "
    "status CODE STATUS [handle=H] [via=V] | tags [via=V] EVENT REC [| REC ...] | "
    "flood COUNT [chain=K] [rate=R] [event=came|left] [via=V] | flood stop | flood | "
    "calls [clear] | connectparams | state | help";

// The index of `name` in `names`, or -1 (kNoCommand) when it is not there.
template <size_t N>
int IndexOf(const char *const (&names)[N], const std::string &name) {
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) return static_cast<int>(i);
    }
    return -1;
}

// Options of report/status: code=N (report only), handle=H and via=V, each
// at most once.
struct tReportOptions {
    uint32_t code = 0;
    uint32_t handle = CEngine::kHandle;
    int via = kNoCommand;
};

bool ParseOption(const std::string &token, bool allowCode, tReportOptions *options,
                 std::set<std::string> *seen) {
    std::string key, value;
    SplitOption(token, &key, &value);
    if (!seen->insert(key).second) return false;
    if (key == "code" && allowCode) return ParseNumber(value, &options->code);
    if (key == "handle") return ParseNumber(value, &options->handle);
    if (key != "via") return false;
    options->via = IndexOf(kCommandNames, value);
    return options->via != kNoCommand;
}

}  // namespace

std::string CEngine::Execute(const std::string &line) {
    std::vector<std::string> tokens = SplitTokens(line);
    if (tokens.empty()) return "ERR empty command";
    const std::string &verb = tokens[0];
    size_t count = tokens.size();

    if (verb == "help" && count == 1) return kHelp;
    if (verb == "report" || verb == "status") return RunReport(tokens);
    if (verb == "tags") return RunTags(tokens);

    std::lock_guard<std::mutex> lock(mutex_);
    if (verb == "flood") return RunFloodLocked(tokens);
    if (verb == "state" && count == 1) {
        return Format("OK running=%s handle=%u connected=%d flags=%u auto=%d",
                      session_.running == kNoCommand ? "none" : kCommandNames[session_.running],
                      session_.connected ? kHandle : 0, session_.connected ? 1 : 0, session_.flags,
                      session_.autoMode ? 1 : 0);
    }
    if (verb == "release" && count == 1) {
        released_ = true;
        holdReleased_.notify_all();
        return "OK";
    }
    if ((verb == "fail" && (count == 2 || count == 3)) || (verb == "ok" && count == 2)) {
        int function = IndexOf(kFunctionNames, tokens[1]);
        if (function < 0) return "ERR unknown function";
        uint32_t code = 1;
        if (count == 3 && !ParseNumber(tokens[2], &code)) return "ERR bad code";
        session_.failing[function] = verb == "fail";
        session_.failCodes[function] = verb == "fail" ? code : 0;
        return "OK";
    }
    if ((verb == "withhold" || verb == "deliver") && count == 2) {
        int function = IndexOf(kFunctionNames, tokens[1]);
        if (function < kFnGetEPCs) return "ERR cannot withhold that";
        session_.withheld[function] = verb == "withhold";
        return "OK";
    }
    if ((verb == "starterror" || verb == "stopresult") && count == 2) {
        uint32_t *code = verb == "starterror" ? &session_.startError : &session_.stopResult;
        return ParseNumber(tokens[1], code) ? "OK" : "ERR bad code";
    }
    if (verb == "flags" && count == 2) {
        return ParseNumber(tokens[1], &session_.flags) ? "OK" : "ERR bad flags";
    }
    if (verb == "auto" && count == 2 && (tokens[1] == "on" || tokens[1] == "off")) {
        session_.autoMode = tokens[1] == "on";
        session_.autoTicks = 0;
        return "OK";
    }
    if (verb == "calls" && count == 1) {
        std::string reply = "OK";
        for (size_t i = 0; i < session_.calls.size(); ++i) {
            reply += i == 0 ? " " : ";";
            reply += session_.calls[i];
        }
        return reply;
    }
    if (verb == "calls" && count == 2 && tokens[1] == "clear") {
        session_.calls.clear();
        return "OK";
    }
    if (verb == "connectparams" && count == 1) {
        if (!session_.haveConnectParams) return "ERR no connect parameters";
        std::string reply = "OK ";
        for (uint8_t byte : session_.connectParams)
            reply += Format("%02x", byte);
        return reply;
    }
    static const char *const kVerbs[] = {
        "help",       "state",      "release", "fail", "ok",    "withhold",     "deliver",
        "starterror", "stopresult", "flags",   "auto", "calls", "connectparams"};
    for (const char *known : kVerbs) {
        if (verb == known) return "ERR bad arguments";
    }
    return "ERR unknown command";
}

std::string CEngine::QueueAndWait(tDelivery &&delivery, std::unique_lock<std::mutex> &lock) {
    auto outcome = std::make_shared<Outcome>(kPending);
    delivery.outcome = outcome;
    if (!EnqueueLocked(std::move(delivery))) return "ERR not queued";
    delivered_.wait_for(lock, kDeliveryWait, [&outcome] { return *outcome != kPending; });
    // In the order of Outcome: still pending after the wait is a timeout.
    static const char *const kReplies[] = {"ERR timeout", "OK", "ERR no handler", "ERR dropped"};
    return kReplies[*outcome];
}

// report start|heartbeat|stop [code=N] [handle=H] [via=V]
// status CODE STATUS [handle=H] [via=V]
std::string CEngine::RunReport(const std::vector<std::string> &tokens) {
    bool report = tokens[0] == "report";
    size_t firstOption = report ? 2 : 3;
    if (tokens.size() < firstOption) return "ERR bad arguments";
    tReportOptions options;
    uint32_t status = kStatusStopped;
    if (!report) {
        if (!ParseNumber(tokens[1], &options.code) || !ParseNumber(tokens[2], &status))
            return "ERR bad number";
    } else if (tokens[1] == "start") {
        status = kStatusStart;
    } else if (tokens[1] == "heartbeat") {
        status = kStatusHeartbeat;
    } else if (tokens[1] != "stop") {
        return "ERR unknown report";
    }
    std::set<std::string> seen;
    for (size_t i = firstOption; i < tokens.size(); ++i) {
        if (!ParseOption(tokens[i], report, &options, &seen)) return "ERR bad option";
    }

    std::unique_lock<std::mutex> lock(mutex_);
    Command target = TargetLocked(options.via);
    // A report about the running command moves it on as a real one would.
    if (report && target == session_.running) {
        if (status == kStatusStopped || (status == kStatusStart && options.code != 0)) {
            session_.running = kNoCommand;
            session_.acknowledged = false;
        } else if (status == kStatusStart) {
            session_.acknowledged = true;
        }
    }
    return QueueAndWait({kStatusReport, options.code, status, target, options.handle}, lock);
}

// tags [via=V] EVENT [via=V] REC [| REC ...]
std::string CEngine::RunTags(const std::vector<std::string> &tokens) {
    size_t i = 1;
    int via = kNoCommand;
    bool haveEvent = false;
    uint8_t event = 0;
    for (; i < tokens.size(); ++i) {
        const std::string &token = tokens[i];
        if (token.compare(0, 4, "via=") == 0) {
            if (via != kNoCommand) return "ERR repeated via";
            via = IndexOf(kCommandNames, token.substr(4));
            if (via == kNoCommand) return "ERR bad via";
            continue;
        }
        if (haveEvent) break;
        if (token == "came" || token == "left") {
            event = token == "came" ? 0xFF : 0x00;
        } else if (!ParseNumber(token, &event)) {
            return "ERR bad event";
        }
        haveEvent = true;
    }
    if (!haveEvent) return "ERR missing event";
    if (i >= tokens.size()) return "ERR missing records";

    std::vector<tPendingRecord> chain;
    for (size_t begin = i, end = i; end <= tokens.size(); ++end) {
        if (end < tokens.size() && tokens[end] != "|") continue;
        if (chain.size() >= kMaxChainRecords) return "ERR too many records";
        chain.emplace_back();
        std::string error;
        if (!ParseRecord(tokens, begin, end, &chain.back(), &error)) return "ERR " + error;
        begin = end + 1;
    }

    std::unique_lock<std::mutex> lock(mutex_);
    tDelivery delivery{kTagChain, event, 0, TargetLocked(via)};
    delivery.chain = std::move(chain);
    return QueueAndWait(std::move(delivery), lock);
}

// flood COUNT [chain=K] [rate=R] [event=came|left] [via=V] | flood stop | flood
std::string CEngine::RunFloodLocked(const std::vector<std::string> &tokens) {
    if (tokens.size() == 1) {
        return Format("OK %llu", static_cast<unsigned long long>(session_.floodLeft));
    }
    if (tokens.size() == 2 && tokens[1] == "stop") {
        session_.floodLeft = 0;
        return "OK";
    }
    uint64_t count = 0;
    if (!ParseUnsigned(tokens[1], kMaxFloodTags, &count) || count == 0) return "ERR bad count";
    uint64_t chain = 1;
    uint64_t rate = 0;
    uint32_t event = 0xFF;
    int via = kNoCommand;
    for (size_t i = 2; i < tokens.size(); ++i) {
        std::string key, value;
        SplitOption(tokens[i], &key, &value);
        if (key == "chain") {
            if (!ParseUnsigned(value, kMaxChainRecords, &chain) || chain == 0)
                return "ERR bad chain";
        } else if (key == "rate") {
            if (!ParseUnsigned(value, kMaxFloodRate, &rate)) return "ERR bad rate";
        } else if (key == "event" && (value == "came" || value == "left")) {
            event = value == "came" ? 0xFF : 0x00;
        } else if (key == "via") {
            via = IndexOf(kCommandNames, value);
            if (via == kNoCommand) return "ERR bad via";
        } else {
            return "ERR bad option " + tokens[i];
        }
    }
    if (!session_.connected) return "ERR not connected";
    if (session_.floodLeft > 0) return "ERR flood running";
    session_.floodVia = TargetLocked(via);
    if (dataHandlers_[session_.floodVia] == nullptr) return "ERR no handler";
    session_.floodLeft = count;
    session_.floodQueued = 0;
    session_.floodChain = static_cast<uint32_t>(chain);
    session_.floodRate = static_cast<uint32_t>(rate);
    session_.floodEvent = event;
    session_.floodStart = std::chrono::steady_clock::now();
    tickerWake_.notify_one();
    return "OK";
}

}  // namespace readersim
