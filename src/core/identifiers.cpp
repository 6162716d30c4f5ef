#include "core/identifiers.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace qor::ids {
namespace {

std::array<unsigned char, 16> randomBytes() {
  std::array<unsigned char, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

// Floor division, so that times before 1970 fall on the right day.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Proleptic Gregorian date of a day count since 1970-01-01, by eras of 400 years.
CivilDate civilFromDays(std::int64_t days) {
  const std::int64_t shifted = days + 719468;  // days since 0000-03-01
  const std::int64_t era = floorDiv(shifted, 146097);
  const auto dayOfEra = static_cast<unsigned>(shifted - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const unsigned month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

}  // namespace

std::string newUUID() {
  std::array<unsigned char, 16> bytes = randomBytes();
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant

  constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      text.push_back('-');
    }
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::string iso8601UTC(std::int64_t unixSeconds) {
  constexpr std::int64_t kSecondsPerDay = 86400;
  std::int64_t days = unixSeconds / kSecondsPerDay;
  std::int64_t secondOfDay = unixSeconds % kSecondsPerDay;
  if (secondOfDay < 0) {  // before 1970: the day starts earlier
    secondOfDay += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civilFromDays(days);

  char text[48];
  const int length = std::snprintf(
      text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(date.year),
      date.month, date.day, static_cast<unsigned>(secondOfDay / 3600),
      static_cast<unsigned>(secondOfDay / 60 % 60), static_cast<unsigned>(secondOfDay % 60));
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace qor::ids
