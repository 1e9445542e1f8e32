#include "console_request.h"

#include <cstdint>
#include <functional>

#include "json_line.h"

namespace qdupk {

namespace {

// A member's value put into the request; false, with `error` set, when
// the value is out of its range.
using Apply =
    std::function<bool(const nlohmann::json& value, RolloutBody& body, std::string& error)>;

struct Member {
    const char* name;
    nlohmann::json fallback;  // what the command line does without it
    Apply apply;
};

bool Refuse(std::string& error, const char* needs, const nlohmann::json& value) {
    error = std::string(needs) + ", not " + JsonLine(value);
    return false;
}

// A whole number in [low, high] into `out`.
template <typename T>
bool Whole(const nlohmann::json& value, std::int64_t low, std::int64_t high, T& out,
           std::string& error) {
    const std::string needs =
        "needs a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    if (!value.is_number_integer() || value.get<std::int64_t>() < low ||
        value.get<std::int64_t>() > high) {
        return Refuse(error, needs.c_str(), value);
    }
    out = static_cast<T>(value.get<std::int64_t>());
    return true;
}

bool Seconds(const nlohmann::json& value, Millis& out, std::string& error) {
    const std::optional<Millis> parsed =
        value.is_number() ? ParseSeconds(JsonLine(value)) : std::nullopt;
    if (!parsed) {
        return Refuse(error, "needs a number of seconds above 0, at most a day", value);
    }
    out = *parsed;
    return true;
}

const Member kMembers[] = {
    {"parallel", 4,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         return Whole(v, 1, 10000, b.request.policy.parallel, e);
     }},
    {"canary", 0,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         return Whole(v, 0, 1000000, b.request.policy.canary, e);
     }},
    {"max_failures", 0,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         std::size_t limit = 0;
         if (!Whole(v, 0, 1000000, limit, e)) {
             return false;
         }
         if (limit > 0) {
             b.request.policy.maxFailures = limit;
         }
         return true;
     }},
    {"retries", nullptr,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         // Given, as --retries: also the package again after a recovery.
         b.request.repushRecovery = !v.is_null();
         return v.is_null() || Whole(v, 0, 20, b.request.policy.retries, e);
     }},
    {"wait_return", nullptr,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         Millis wait{0};
         if (v.is_null()) {
             return true;
         }
         if (!Seconds(v, wait, e)) {
             return false;
         }
         b.request.waitReturn = wait;
         return true;
     }},
    {"confirm_timeout", 300,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         return Seconds(v, b.request.confirmTimeout, e);
     }},
    {"timeout", 600,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         return Seconds(v, b.request.attempt.timeout, e);
     }},
    {"connect_timeout", 10,
     [](const nlohmann::json& v, RolloutBody& b, std::string& e) {
         return Seconds(v, b.request.attempt.connectTimeout, e);
     }},
};

bool Known(const std::string& name) {
    if (name == "package" || name == "targets") {
        return true;
    }
    for (const Member& member : kMembers) {
        if (name == member.name) {
            return true;
        }
    }
    return false;
}

bool ParseTargets(const nlohmann::json& body, RolloutBody& out, std::string& error) {
    const auto targets = body.find("targets");
    if (targets == body.end() || !targets->is_array() || targets->empty()) {
        error = "targets: name at least one camera, as [\"HOST:PORT\", ...]";
        return false;
    }
    for (const nlohmann::json& target : *targets) {
        const std::optional<HostPort> parsed =
            target.is_string() ? ParseHostPort(target.get<std::string>()) : std::nullopt;
        if (!parsed) {
            error = "targets: needs HOST:PORT with a port from 1 to 65535, not " + JsonLine(target);
            return false;
        }
        out.targets.push_back(*parsed);
    }
    return true;
}

bool ParsePackage(const nlohmann::json& body, RolloutBody& out, std::string& error) {
    const auto package = body.find("package");
    if (package == body.end() || !package->is_string()) {
        error = "package: needs the id the package upload answered with, such as \"p1\"";
        return false;
    }
    out.package = package->get<std::string>();
    return true;
}

bool ParseOptions(const nlohmann::json& body, RolloutBody& out, std::string& error) {
    for (const Member& member : kMembers) {
        const auto given = body.find(member.name);
        const nlohmann::json& value = given != body.end() ? *given : member.fallback;
        if (!member.apply(value, out, error)) {
            error.insert(0, std::string(member.name) + ": ");
            return false;
        }
        out.options[member.name] = value;
    }
    return true;
}

}  // namespace

std::optional<RolloutBody> ParseRolloutBody(const nlohmann::json& body, std::string& error) {
    if (!body.is_object()) {
        error = "the body needs to be a JSON object with \"package\" and \"targets\"";
        return std::nullopt;
    }
    for (const auto& member : body.items()) {
        if (!Known(member.key())) {
            error = "unknown member " + JsonLine(member.key());
            return std::nullopt;
        }
    }
    RolloutBody out;
    out.options = nlohmann::json::object();
    if (!ParsePackage(body, out, error) || !ParseTargets(body, out, error) ||
        !ParseOptions(body, out, error)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace qdupk
