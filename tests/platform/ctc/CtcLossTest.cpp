#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "qo_common/ctc/ctc.h"
#include "qo_common/ctc/ctc_math.h"

namespace {

struct Loss {
    ctcStatus_t status;
    std::vector<float> costs;
};

// One call with a workspace of the size the library asks for.
Loss ctcLoss(const std::vector<float>& activations, const std::vector<std::vector<int>>& labels,
             const std::vector<int>& steps, int alphabet, int blank) {
    std::vector<int> flat, lengths;
    for (const auto& l : labels) {
        flat.insert(flat.end(), l.begin(), l.end());
        lengths.push_back(static_cast<int>(l.size()));
    }
    ctcOptions options;
    options.blank_label = blank;
    const int batch = static_cast<int>(labels.size());
    size_t bytes = 0;
    EXPECT_EQ(get_workspace_size(lengths.data(), steps.data(), alphabet, batch, options, &bytes),
              CTC_STATUS_SUCCESS);
    std::vector<float> workspace(bytes / sizeof(float) + 1);
    Loss loss{CTC_STATUS_UNKNOWN_ERROR, std::vector<float>(labels.size(), -1.f)};
    loss.status = compute_ctc_loss(activations.data(), nullptr, flat.data(), lengths.data(), steps.data(),
                                   alphabet, batch, loss.costs.data(), workspace.data(), options);
    return loss;
}

std::vector<float> softmax(const float* logits, int n) {
    double sum = 0;
    for (int k = 0; k < n; ++k) {
        sum += std::exp(static_cast<double>(logits[k]));
    }
    std::vector<float> p(n);
    for (int k = 0; k < n; ++k) {
        p[k] = static_cast<float>(std::exp(static_cast<double>(logits[k])) / sum);
    }
    return p;
}

// P(labels) by summing every path of `steps` symbols that collapses to them (repeats merged, blanks dropped).
double bruteForce(const std::vector<float>& logits, int steps, int alphabet, int blank,
                  const std::vector<int>& labels) {
    std::vector<std::vector<float>> p;
    for (int t = 0; t < steps; ++t) {
        p.push_back(softmax(&logits[static_cast<size_t>(t * alphabet)], alphabet));
    }
    double total = 0;
    std::vector<int> path(static_cast<size_t>(steps), 0);
    long paths = 1;
    for (int t = 0; t < steps; ++t) {
        paths *= alphabet;
    }
    for (long code = 0; code < paths; ++code) {
        long c = code;
        double prob = 1;
        std::vector<int> collapsed;
        int previous = -1;
        for (int t = 0; t < steps; ++t) {
            int k = static_cast<int>(c % alphabet);
            c /= alphabet;
            prob *= p[static_cast<size_t>(t)][static_cast<size_t>(k)];
            if (k != blank && k != previous) {
                collapsed.push_back(k);
            }
            previous = k;
        }
        if (collapsed == labels) {
            total += prob;
        }
    }
    return total;
}

TEST(CtcLoss, MatchesTheSumOverAllAlignments) {
    std::mt19937 rng(42);
    std::normal_distribution<float> logit(0.f, 2.f);
    struct Case {
        int alphabet, steps, blank;
        std::vector<int> labels;
    };
    const Case cases[] = {
        {2, 1, 0, {1}},          {2, 3, 0, {1}},          {3, 3, 2, {0, 1}},    {3, 4, 0, {1, 1}},
        {3, 3, 0, {1, 1}},       {3, 5, 1, {0, 2, 0}},    {4, 5, 3, {0, 0, 1}}, {3, 6, 0, {}},
        {3, 6, 2, {1, 0, 1, 0}}, {4, 6, 0, {3, 3, 3}},    {2, 7, 1, {0, 0, 0}}, {3, 1, 0, {}},
        {5, 4, 4, {0, 1, 2, 3}}, {3, 7, 2, {0, 1, 0, 1}},
    };
    for (const auto& c : cases) {
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<float> logits(static_cast<size_t>(c.alphabet * c.steps));
            for (auto& v : logits) {
                v = logit(rng);
            }
            double expected = bruteForce(logits, c.steps, c.alphabet, c.blank, c.labels);
            auto loss = ctcLoss(logits, {c.labels}, {c.steps}, c.alphabet, c.blank);
            ASSERT_EQ(loss.status, CTC_STATUS_SUCCESS);
            EXPECT_NEAR(std::exp(-static_cast<double>(loss.costs[0])), expected, 1e-5 + 1e-4 * expected)
                << "alphabet " << c.alphabet << " steps " << c.steps << " labels " << c.labels.size();
        }
    }
}

TEST(CtcLoss, HandComputedThreeSteps) {
    // Alphabet "AB " (blank last), probabilities per step given as logarithms.
    const std::vector<std::vector<float>> p = {{0.6f, 0.3f, 0.1f}, {0.2f, 0.2f, 0.6f}, {0.1f, 0.7f, 0.2f}};
    std::vector<float> logs;
    for (const auto& step : p) {
        for (float v : step) {
            logs.push_back(std::log(v));
        }
    }
    // "AB": A A B, A _ B, A B B, A B _, _ A B
    double ab = 0.6 * 0.2 * 0.7 + 0.6 * 0.6 * 0.7 + 0.6 * 0.2 * 0.7 + 0.6 * 0.2 * 0.2 + 0.1 * 0.2 * 0.7;
    // "A": A A A, A A _, A _ _, _ A A, _ A _, _ _ A (A _ A reads "AA")
    double a = 0.6 * 0.2 * 0.1 + 0.6 * 0.2 * 0.2 + 0.6 * 0.6 * 0.2 + 0.1 * 0.2 * 0.1 + 0.1 * 0.2 * 0.2 +
               0.1 * 0.6 * 0.1;
    auto loss = ctcLoss(logs, {{0, 1}}, {3}, 3, 2);
    EXPECT_NEAR(std::exp(-loss.costs[0]), ab, 1e-6);
    loss = ctcLoss(logs, {{0}}, {3}, 3, 2);
    EXPECT_NEAR(std::exp(-loss.costs[0]), a, 1e-6);
}

TEST(CtcLoss, LabelsThatCannotFitCostInfinity) {
    std::vector<float> logits(3 * 3, 0.f);
    for (const auto& labels : std::vector<std::vector<int>>{{0, 1, 0, 1}, {0, 0, 0}, {1, 1}}) {
        int steps = labels.size() == 2 ? 2 : 3;  // {1,1} needs 3 steps (a blank between)
        auto loss = ctcLoss(logits, {labels}, {steps}, 3, 2);
        EXPECT_EQ(loss.status, CTC_STATUS_SUCCESS);
        EXPECT_EQ(loss.costs[0], std::numeric_limits<float>::infinity()) << labels.size();
        EXPECT_EQ(std::exp(-loss.costs[0]), 0.f);
    }
}

TEST(CtcLoss, NoStepsAndNoLabelsIsCertain) {
    auto loss = ctcLoss({0.f, 0.f}, {{}}, {0}, 2, 0);
    EXPECT_EQ(loss.costs[0], 0.f);
    loss = ctcLoss({0.f, 0.f}, {{1}}, {0}, 2, 0);
    EXPECT_EQ(loss.costs[0], std::numeric_limits<float>::infinity());
}

TEST(CtcLoss, ZeroProbabilitiesAndBadScores) {
    const float inf = std::numeric_limits<float>::infinity();
    // log(0) is a legitimate score: the path through it has probability 0.
    auto loss = ctcLoss({-inf, 0.f, 0.f, -inf}, {{0}}, {2}, 2, 1);
    EXPECT_NEAR(loss.costs[0], 0.f, 1e-6);  // only "A A"... blank impossible, then B impossible at step 2
    loss = ctcLoss({-inf, -inf, 0.f, 0.f}, {{0}}, {2}, 2, 1);
    EXPECT_EQ(loss.costs[0], inf);  // a step with no probability at all
    loss = ctcLoss({std::nanf(""), 0.f, 0.f, 0.f}, {{0}}, {2}, 2, 1);
    EXPECT_EQ(loss.status, CTC_STATUS_INVALID_VALUE);
    EXPECT_TRUE(std::isnan(loss.costs[0]));
    loss = ctcLoss({inf, 0.f, 0.f, 0.f}, {{0}}, {2}, 2, 1);
    EXPECT_EQ(loss.status, CTC_STATUS_INVALID_VALUE);
}

TEST(CtcLoss, BatchItemsAreInterleavedStepMajor) {
    std::mt19937 rng(7);
    std::normal_distribution<float> logit(0.f, 1.f);
    const int alphabet = 3, maxSteps = 4;
    std::vector<float> a(maxSteps * alphabet), b(maxSteps * alphabet), both;
    for (auto& v : a)
        v = logit(rng);
    for (auto& v : b)
        v = logit(rng);
    for (int t = 0; t < maxSteps; ++t) {
        both.insert(both.end(), a.begin() + t * alphabet, a.begin() + (t + 1) * alphabet);
        both.insert(both.end(), b.begin() + t * alphabet, b.begin() + (t + 1) * alphabet);
    }
    auto loss = ctcLoss(both, {{1}, {0, 1}}, {4, 3}, alphabet, 2);
    ASSERT_EQ(loss.status, CTC_STATUS_SUCCESS);
    EXPECT_NEAR(std::exp(-loss.costs[0]), bruteForce(a, 4, alphabet, 2, {1}), 1e-5);
    EXPECT_NEAR(std::exp(-loss.costs[1]), bruteForce(b, 3, alphabet, 2, {0, 1}), 1e-5);
}

TEST(CtcLoss, InvalidArgumentsAreRefused) {
    std::vector<float> acts(6, 0.f), costs(1, -1.f), workspace(16);
    int labels[] = {1}, blankLabel[] = {0}, big[] = {5}, len[] = {1}, steps[] = {2}, negative[] = {-1};
    ctcOptions options;
    size_t bytes = 0;
    EXPECT_EQ(get_workspace_size(len, steps, 3, 1, options, nullptr), CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(get_workspace_size(len, steps, 0, 1, options, &bytes), CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(get_workspace_size(len, negative, 3, 1, options, &bytes), CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(compute_ctc_loss(acts.data(), nullptr, blankLabel, len, steps, 3, 1, costs.data(),
                               workspace.data(), options),
              CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(compute_ctc_loss(acts.data(), nullptr, big, len, steps, 3, 1, costs.data(), workspace.data(),
                               options),
              CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(compute_ctc_loss(acts.data(), acts.data(), labels, len, steps, 3, 1, costs.data(),
                               workspace.data(), options),
              CTC_STATUS_INVALID_VALUE);
    options.loc = CTC_GPU;
    EXPECT_EQ(compute_ctc_loss(acts.data(), nullptr, labels, len, steps, 3, 1, costs.data(), workspace.data(),
                               options),
              CTC_STATUS_INVALID_VALUE);
    options.loc = CTC_CPU;
    options.blank_label = 3;
    EXPECT_EQ(compute_ctc_loss(acts.data(), nullptr, labels, len, steps, 3, 1, costs.data(), workspace.data(),
                               options),
              CTC_STATUS_INVALID_VALUE);
    EXPECT_EQ(costs[0], -1.f);
    EXPECT_STREQ(ctcGetStatusString(CTC_STATUS_INVALID_VALUE), "invalid value");
}

// -ln P(labels) by the forward recursion in double, for inputs too long for the brute force.
double referenceCost(const std::vector<float>& logits, int steps, int alphabet, int blank,
                     const std::vector<int>& labels) {
    const int states = 2 * static_cast<int>(labels.size()) + 1;
    auto symbol = [&](int s) { return (s & 1) ? labels[static_cast<size_t>(s / 2)] : blank; };
    std::vector<double> alpha(static_cast<size_t>(states), 0.0);
    for (int t = 0; t < steps; ++t) {
        double sum = 0;
        for (int k = 0; k < alphabet; ++k) {
            sum += std::exp(static_cast<double>(logits[static_cast<size_t>(t * alphabet + k)]));
        }
        auto p = [&](int s) {
            return std::exp(static_cast<double>(logits[static_cast<size_t>(t * alphabet + symbol(s))])) / sum;
        };
        std::vector<double> next(alpha.size(), 0.0);
        for (int s = 0; s < states; ++s) {
            double in = t == 0 ? (s < 2 ? 1.0 : 0.0) : alpha[static_cast<size_t>(s)];
            if (t > 0 && s >= 1) {
                in += alpha[static_cast<size_t>(s - 1)];
            }
            if (t > 0 && s >= 2 && (s & 1) && symbol(s) != symbol(s - 2)) {
                in += alpha[static_cast<size_t>(s - 2)];
            }
            next[static_cast<size_t>(s)] = in * p(s);
        }
        alpha = next;
    }
    return -std::log(alpha[static_cast<size_t>(states - 1)] +
                     (states > 1 ? alpha[static_cast<size_t>(states - 2)] : 0.0));
}

TEST(CtcLoss, LongInputsMatchADoublePrecisionForward) {
    // Plate-sized inputs: alphabets that do and do not fill whole blocks of scores, labellings whose
    // states end mid-block, repeats that forbid the skip.
    std::mt19937 rng(11);
    std::normal_distribution<float> logit(0.f, 3.f);
    struct Case {
        int alphabet, steps;
        std::vector<int> labels;
    };
    const Case cases[] = {
        {36, 46, {10, 5, 0, 31, 26, 21, 16}},    {37, 48, {1, 1, 2, 3, 3, 3, 4, 5}}, {8, 20, {0, 1, 2}},
        {5, 30, {0, 1, 0, 1, 0, 1, 0, 1, 2, 3}}, {36, 9, {4, 4, 4, 4, 4}},           {6, 12, {}},
    };
    for (const auto& c : cases) {
        std::vector<float> logits(static_cast<size_t>(c.alphabet * c.steps));
        for (auto& v : logits) {
            v = logit(rng);
        }
        const int blank = c.alphabet - 1;
        double expected = referenceCost(logits, c.steps, c.alphabet, blank, c.labels);
        auto loss = ctcLoss(logits, {c.labels}, {c.steps}, c.alphabet, blank);
        ASSERT_EQ(loss.status, CTC_STATUS_SUCCESS);
        EXPECT_NEAR(loss.costs[0], expected, 1e-4 * std::max(1.0, std::abs(expected)))
            << "alphabet " << c.alphabet << " labels " << c.labels.size();
    }
}

TEST(CtcLoss, BadScoresAnywhereInTheStepAreFound) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int position : {0, 3, 4, 33, 35}) {
        for (float bad : {std::nanf(""), inf}) {
            std::vector<float> logits(36 * 3, 0.f);
            logits[static_cast<size_t>(36 + position)] = bad;
            auto loss = ctcLoss(logits, {{1}}, {3}, 36, 35);
            EXPECT_EQ(loss.status, CTC_STATUS_INVALID_VALUE) << position;
            EXPECT_TRUE(std::isnan(loss.costs[0])) << position;
        }
        // -inf is a probability of 0, not an error.
        std::vector<float> logits(36 * 3, 0.f);
        logits[static_cast<size_t>(36 + position)] = -inf;
        auto loss = ctcLoss(logits, {{1}}, {3}, 36, 35);
        EXPECT_EQ(loss.status, CTC_STATUS_SUCCESS) << position;
        EXPECT_TRUE(std::isfinite(loss.costs[0])) << position;
    }
}

TEST(CtcMath, LogOfMatchesStdLogIncludingSpecialValues) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> in = {1.f,  0.5f,          0.9f, 1e-30f,  3e38f,   1e-40f, 0.f,  -0.f, -1.f, inf,
                             -inf, std::nanf(""), 2.f,  0.7071f, 1.4142f, 1e-45f, 36.f, 0.1f, 0.25f};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.f, 1.f);
    for (int i = 0; i < 200; ++i) {
        in.push_back(unit(rng));
    }
    std::vector<float> out(in.size());
    ctc_math::logOf(in.data(), in.size(), out.data());
    for (size_t i = 0; i < in.size(); ++i) {
        const float expected = std::log(in[i]);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(out[i])) << in[i];
        } else if (std::isinf(expected)) {
            EXPECT_EQ(out[i], expected) << in[i];
        } else {
            EXPECT_NEAR(out[i], expected, 2e-7f * std::max(1.f, std::abs(expected))) << in[i];
        }
    }
}

}  // namespace
