#include "maintenance/VerificationDates.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "platform/local/Config.h"
#include "platform/local/StoreSettings.h"

namespace {

constexpr const char* kDatesFile = "verified.json";
// About 40 bytes a job: room for a quarter of a million jobs.
constexpr std::size_t kMaxDatesBytes = 10 * 1024 * 1024;

// Whether text is a date as a check writes it: YYYY-MM-DDTHH:MM:SSZ.
bool isDate(const std::string& text) {
    static const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

}  // namespace

std::string verificationText(const VerificationDates& dates) {
    nlohmann::ordered_json jobs = nlohmann::ordered_json::object();
    for (const auto& [job, date] : dates) jobs[std::to_string(job)] = date;
    return nlohmann::ordered_json{{"format", 1}, {"jobs", jobs}}.dump(1) + "\n";
}

VerificationDates parseVerificationText(const std::string& text) {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_object() || !document.contains("format") || document["format"] != 1 ||
        !document.contains("jobs") || !document["jobs"].is_object()) {
        throw std::invalid_argument("it is not a record of verification of format 1");
    }
    VerificationDates dates;
    for (const auto& [key, value] : document["jobs"].items()) {
        std::size_t end = 0;
        unsigned long long job = 0;
        try {
            job = std::stoull(key, &end);
        } catch (const std::exception&) {
            end = 0;
        }
        if (end == 0 || end != key.size() || key[0] < '1' || key[0] > '9') {
            throw std::invalid_argument("\"" + key + "\" is no job id");
        }
        if (!value.is_string() || !isDate(value.get<std::string>())) {
            throw std::invalid_argument("job " + key +
                                        " has no date of the form "
                                        "YYYY-MM-DDTHH:MM:SSZ");
        }
        dates[job] = value.get<std::string>();
    }
    return dates;
}

VerificationDates storedVerificationDates(std::string* why) {
    try {
        const std::optional<std::string> text =
            localplatform::storeSetting(kDatesFile, kMaxDatesBytes);
        return text ? parseVerificationText(*text) : VerificationDates{};
    } catch (const localplatform::StoreError& error) {
        if (why) *why = error.what();
    } catch (const std::invalid_argument& error) {
        if (why) *why = localplatform::storeSettingPath(kDatesFile) + ": " + error.what();
    }
    return {};
}

std::vector<unsigned long long> verificationOrder(const std::vector<localplatform::JobRecord>& jobs,
                                                  const VerificationDates& dates) {
    // (verified at all, when, how old the job is) for each complete job.
    std::vector<std::tuple<bool, std::string, std::size_t, unsigned long long>> keyed;
    for (std::size_t age = 0; age < jobs.size(); ++age) {
        if (jobs[age].state != "complete") continue;
        const auto known = dates.find(jobs[age].jobId);
        keyed.emplace_back(known != dates.end(), known != dates.end() ? known->second : "", age,
                           jobs[age].jobId);
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<unsigned long long> order;
    for (const auto& each : keyed) order.push_back(std::get<3>(each));
    return order;
}

void keepVerificationDates(const std::vector<unsigned long long>& read, const std::string& date,
                           const std::vector<localplatform::JobRecord>& jobs) {
    const VerificationDates before = storedVerificationDates();
    VerificationDates dates;
    for (const localplatform::JobRecord& job : jobs) {
        if (const auto known = before.find(job.jobId); known != before.end()) {
            dates.insert(*known);
        }
    }
    for (const unsigned long long job : read) {
        std::string& kept = dates[job];
        kept = std::max(kept, date);
    }
    localplatform::keepStoreSetting(kDatesFile, verificationText(dates));
}
