#pragma once

#include <functional>
#include <random>

// A uniform source of 32-bit floats in [0, 1) with 24 bits of resolution, reseeded from the
// clock at the start of every random run.
class UniformSource
{
public:
    UniformSource();
    void reseedFromClock();
    float next();

private:
    std::mt19937 m_engine;
};

// Standard normal deviates by the polar method in single precision. The second deviate of
// each pair is kept for the next call, across runs and reseeds alike.
class GaussianSource
{
public:
    using Uniform = std::function<float()>;

    float next(const Uniform &uniform);
    bool hasSpare() const { return m_haveSpare; }

private:
    bool m_haveSpare = false;
    float m_spareDeviate = 0.0f;
};
