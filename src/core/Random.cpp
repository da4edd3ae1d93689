#include "core/Random.h"

#include <chrono>
#include <ctime>

namespace Zelkor {

namespace {

std::uint32_t Rotl(std::uint32_t value, unsigned int bits) { return value << bits | value >> (32 - bits); }

struct WallClock {
    std::time_t seconds;
    std::uint16_t milliseconds;
};

WallClock Now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch - seconds).count();
    return {static_cast<std::time_t>(seconds.count()), static_cast<std::uint16_t>(micros / 1000)};
}

}  // namespace

void Random::Init() {
    const std::uint32_t a = Rotl(static_cast<std::uint32_t>(std::time(nullptr)), 16);
    const auto k = static_cast<std::uint32_t>(std::clock());
    _work1 = Rotl(k, 21) ^ Rotl(k, 11) ^ k;
    const std::uint32_t m = Now().milliseconds;
    _work2 = Rotl(m, 20) ^ (m << 10) ^ m;
    const std::uint32_t s = a ^ _work1 ^ _work2;
    _x = s ^ 1;
    _y = s ^ 2;
    _z = s ^ 4;
    _w = s ^ 8;
    _c = 0;
}

std::uint32_t Random::Rand() {
    const std::uint32_t t = _z + 2 * _w + _c;
    const std::uint32_t e = (_z >> 2) + (_w >> 3) + (_c >> 2);
    _work1 = e;
    _work2 = t;
    _z = _w;
    _w = t;
    _c = e >> 30;
    _x = _x * 69069u + 1u;
    _y ^= (_y << 5) ^ (_y << 13) ^ (_y >> 17);
    return _x + t + _y;
}

unsigned int Random::RandInRange(unsigned int low, unsigned int high) {
    if (high <= low) {
        return low;
    }
    return low + Rand() % (high - low);
}

std::uint16_t Random::GetSystemTime(systemtime* time) {
    const WallClock now = Now();
    if (time != nullptr) {
        std::tm parts{};
        gmtime_r(&now.seconds, &parts);
        *time = systemtime{};
        time->year = static_cast<std::uint16_t>(parts.tm_year + 1900);
        time->month = static_cast<std::uint16_t>(parts.tm_mon + 1);
        time->day = static_cast<std::uint16_t>(parts.tm_mday);
        time->hour = static_cast<std::uint16_t>(parts.tm_hour);
        time->minute = static_cast<std::uint16_t>(parts.tm_min);
        time->second = static_cast<std::uint16_t>(parts.tm_sec);
        time->milliseconds = now.milliseconds;
    }
    return now.milliseconds;
}

}  // namespace Zelkor
