// Writes a realistic event log: N chronological lines of several event types, every
// priority (info most common), English and Russian names, and about one line in 500 damaged
// as in a log after a crash (blank, truncated, not JSON).
//
//   bench_generate N OUT [START [STEP]]
//     START: first event date, YYYY-MM-DD (default 2024-01-01)
//     STEP:  most seconds between two events (default 6)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

struct EventType {
  const char* key;
  const char* type_en;
  const char* type_ru;
  std::vector<std::pair<const char*, const char*>> names;  // en, ru
};

const std::vector<EventType> kTypes = {
    {"orvex-audit",
     "Audit",
     "Аудит",
     {{"User logged in", "Пользователь вошёл в систему"},
      {"User logged out", "Пользователь вышел из системы"},
      {"Failed login attempt", "Неудачная попытка входа"}}},
    {"orvex-net-fw",
     "Firewall",
     "Межсетевой экран",
     {{"Connection blocked", "Соединение заблокировано"}, {"Rule changed", "Правило изменено"}}},
    {"orvex-integrity",
     "Integrity control",
     "Контроль целостности",
     {{"File checksum mismatch", "Несовпадение контрольной суммы файла"},
      {"Integrity check passed", "Проверка целостности пройдена"}}},
    {"device_mount",
     "Devices",
     "Устройства",
     {{"Removable media mounted", "Съёмный носитель подключён"},
      {"Removable media unmounted", "Съёмный носитель отключён"}}},
    {"kernel",
     "Kernel",
     "Ядро",
     {{"Module loaded", "Модуль загружен"}, {"Out of memory", "Нехватка памяти"}}},
    {"sudo",
     "Privileges",
     "Привилегии",
     {{"Command run as root", "Команда выполнена от имени root"}}},
};

// Weighted so that info dominates and crit is about 2 % of the events.
const std::vector<std::pair<const char*, int>> kPriorities = {
    {"info", 620}, {"notice", 150}, {"warning", 90}, {"err", 60},
    {"debug", 40}, {"crit", 20},    {"alert", 12},   {"emerg", 8}};

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kUsers[] = {"alice", "bob", "root", "svc-backup", "operator"};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: bench_generate N OUT [START [STEP]]\n";
    return 2;
  }
  long long count = std::atoll(argv[1]);
  std::string start = argc > 3 ? argv[3] : "2024-01-01";
  long long step_us = (argc > 4 ? std::atoll(argv[4]) : 6) * 1000000LL;
  if (step_us <= 0) step_us = 1;
  int y = 0, m = 0, d = 0;
  if (std::sscanf(start.c_str(), "%d-%d-%d", &y, &m, &d) != 3) {
    std::cerr << "bench_generate: START must be YYYY-MM-DD\n";
    return 2;
  }
  using namespace std::chrono;
  sys_time<microseconds> t = sys_days(year(y) / month(m) / day(d));
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "bench_generate: cannot write " << argv[2] << "\n";
    return 1;
  }
  std::mt19937_64 rng(42);
  std::vector<int> weights;
  for (const auto& p : kPriorities) weights.push_back(p.second);
  std::discrete_distribution<int> pick_priority(weights.begin(), weights.end());
  std::uniform_int_distribution<int> percent(0, 999);
  std::string line;
  for (long long i = 0; i < count; ++i) {
    t += microseconds(rng() % static_cast<unsigned long long>(step_us));
    const EventType& type = kTypes[rng() % kTypes.size()];
    const auto& name = type.names[rng() % type.names.size()];
    const char* priority = kPriorities[pick_priority(rng)].first;
    auto day_point = floor<days>(t);
    year_month_day ymd(day_point);
    hh_mm_ss<microseconds> hms(t - day_point);
    char date[64], iso[64];
    std::snprintf(iso, sizeof iso, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%06u+03:00", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), long(hms.hours().count()),
                  long(hms.minutes().count()), long(hms.seconds().count()),
                  unsigned(hms.subseconds().count()));
    std::snprintf(date, sizeof date, "%s %2u %02ld:%02ld:%02ld", kMonths[unsigned(ymd.month()) - 1],
                  unsigned(ymd.day()), long(hms.hours().count()), long(hms.minutes().count()),
                  long(hms.seconds().count()));
    const char* user = kUsers[rng() % 5];
    line.clear();
    line += R"({"PRIORITY":")";
    line += priority;
    line += R"(","ISODATE":")";
    line += iso;
    line += R"(","DATE":")";
    line += date;
    line += R"(","HOST":"arm-)";
    line += std::to_string(rng() % 8);
    line += R"(","PROGRAM":")";
    line += type.key;
    line += R"(","PID":")";
    line += std::to_string(1000 + rng() % 30000);
    line += R"(","MSG":{")";
    line += type.key;
    line += R"(":{"type_en":")";
    line += type.type_en;
    line += R"(","name_en":")";
    line += name.first;
    line += R"(","type_ru":")";
    line += type.type_ru;
    line += R"(","name_ru":")";
    line += name.second;
    line += R"(","user":")";
    line += user;
    line += R"(","uid":")";
    line += std::to_string(rng() % 2000);
    line += R"("}}})";
    int damage = percent(rng);
    if (damage == 0) {
      line.clear();  // blank
    } else if (damage == 1) {
      line.resize(line.size() / 2);  // truncated by a crash
    } else if (damage == 2) {
      line = "-- logger restarted --";  // not JSON
    }
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
  return out ? 0 : 1;
}
