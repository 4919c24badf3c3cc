// Shared helpers of the layer tests: cfg option lists, size_params, pass states, random data and
// central-difference gradients.
#pragma once
#include "list.h"
#include "option_list.h"
#include "parser.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

struct Options {
    list *l = make_list();
    std::vector<char *> strings;
    Options(std::initializer_list<std::pair<const char *, const char *>> kv)
    {
        for (auto &p : kv) {
            strings.push_back(strdup(p.first));
            strings.push_back(strdup(p.second));
            option_insert(l, strings[strings.size() - 2], strings.back());
        }
    }
    Options(const Options &) = delete;
    ~Options()
    {
        for (node *n = l->front; n; n = n->next) free(n->val);
        free_list(l);
        for (char *s : strings) free(s);
    }
};

inline size_params params_for(int h, int w, int c, int batch = 1, int index = 0, layer *layers = nullptr,
                              int train = 1)
{
    size_params p = {};
    p.batch = batch;
    p.h = h;
    p.w = w;
    p.c = c;
    p.inputs = h * w * c;
    p.index = index;
    p.train = train;
    p.net.layers = layers;
    return p;
}

inline network_state state_for(float *input, float *delta, int train, layer *layers = nullptr)
{
    network_state s = {};
    s.input = input;
    s.delta = delta;
    s.train = train;
    s.net.layers = layers;
    return s;
}

inline std::vector<float> random_vector(size_t n, float lo = -1, float hi = 1)
{
    std::vector<float> v(n);
    for (float &x : v) x = random_uniform(lo, hi);
    return v;
}

// Runs f with standard error captured; returns what was printed.
template <class F> std::string stderr_of(F &&f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// d/dx of sum(probe * out(x)) by central differences; out must recompute from x each call.
inline std::vector<double> numeric_gradient(std::vector<float> &x, const std::vector<float> &probe,
                                            const std::function<const float *()> &out, float eps = 1e-2f)
{
    auto loss = [&] {
        const float *o = out();
        double s = 0;
        for (size_t i = 0; i < probe.size(); ++i) s += (double)probe[i] * o[i];
        return s;
    };
    std::vector<double> g(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const float keep = x[i];
        x[i] = keep + eps;
        const double up = loss();
        x[i] = keep - eps;
        const double down = loss();
        x[i] = keep;
        g[i] = (up - down) / (2 * eps);
    }
    return g;
}

inline void expect_close(const std::vector<double> &expected, const float *actual, double tol, const char *what)
{
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(expected[i], actual[i], tol) << what << " at " << i;
}
