#include "gaussiansource.h"

#include <chrono>
#include <cmath>

namespace {
constexpr int kEngineBits = 32;
constexpr int kResolutionBits = 24;
constexpr float kResolutionStep = 1.0f / float(1u << kResolutionBits);
} // namespace

UniformSource::UniformSource()
{
    reseedFromClock();
}

void UniformSource::reseedFromClock()
{
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    m_engine.seed(static_cast<std::mt19937::result_type>(now ^ (now >> 32)));
}

float UniformSource::next()
{
    return float(m_engine() >> (kEngineBits - kResolutionBits)) * kResolutionStep;
}

float GaussianSource::next(const Uniform &uniform)
{
    if (m_haveSpare) {
        m_haveSpare = false;
        return m_spareDeviate;
    }
    float x = 0.0f;
    float y = 0.0f;
    float s = 0.0f;
    // A pair with s of 0 would reach the logarithm; it is drawn again like one outside the circle.
    do {
        const float u1 = uniform();
        const float u2 = uniform();
        x = float(2.0 * u1 - 1.0);
        y = float(2.0 * u2 - 1.0);
        s = float(double(y) * y + double(x) * x);
    } while (s >= 1.0f || s == 0.0f);

    const float f = float(std::sqrt(-2.0 * std::log(double(s)) / double(s)));
    m_spareDeviate = f * x;
    m_haveSpare = true;
    return f * y;
}
