// Element-wise non-linearities on the CPU. Derivatives are expressed through the activated
// output wherever the kind allows it, so layers need not keep their pre-activation values; the
// kinds that cannot (swish, mish, hard-mish) keep an extra buffer, and the channel-normalising
// kinds work on all channels of one position at once.
#include "activation_functions.h"

#include "gemm.h"

#include <immintrin.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct activation_name {
    ACTIVATION kind;
    const char *name;
};

constexpr activation_name kActivationNames[] = {
    {LOGISTIC, "logistic"},
    {RELU, "relu"},
    {RELU6, "relu6"},
    {RELIE, "relie"},
    {LINEAR, "linear"},
    {RAMP, "ramp"},
    {TANH, "tanh"},
    {PLSE, "plse"},
    {REVLEAKY, "revleaky"},
    {LEAKY, "leaky"},
    {ELU, "elu"},
    {LOGGY, "loggy"},
    {STAIR, "stair"},
    {HARDTAN, "hardtan"},
    {LHTAN, "lhtan"},
    {SELU, "selu"},
    {GELU, "gelu"},
    {SWISH, "swish"},
    {MISH, "mish"},
    {HARD_MISH, "hard_mish"},
    {NORM_CHAN, "normalize_channels"},
    {NORM_CHAN_SOFTMAX, "normalize_channels_softmax"},
    {NORM_CHAN_SOFTMAX_MAXVAL, "normalize_channels_softmax_maxval"},
};
static_assert(sizeof(kActivationNames) / sizeof(kActivationNames[0]) == NORM_CHAN_SOFTMAX_MAXVAL + 1,
              "every activation kind needs a cfg name");

inline float logistic_activate(float x) { return 1.f / (1.f + expf(-x)); }
inline float leaky_activate(float x) { return x > 0 ? x : .1f * x; }

float stair_activate(float x)
{
    // The parity is taken on the float floor so that values beyond the int range stay defined.
    const float n = floorf(x);
    if (fmodf(n, 2) == 0) return floorf(x / 2);
    return (x - n) + floorf(x / 2);
}

float plse_activate(float x)
{
    if (x < -4) return .01f * (x + 4);
    if (x > 4) return .01f * (x - 4) + 1;
    return .125f * x + .5f;
}

float hardtan_activate(float x)
{
    if (x < -1) return -1;
    if (x > 1) return 1;
    return x;
}

float lhtan_activate(float x)
{
    if (x < 0) return .001f * x;
    if (x > 1) return .001f * (x - 1) + 1;
    return x;
}

float gelu_activate(float x)
{
    const double xd = x;
    return static_cast<float>(0.5 * xd * (1 + tanh(0.797885 * xd + 0.035677 * pow(xd, 3))));
}

float softplus(float x, float threshold)
{
    if (x > threshold) return x;
    if (x < -threshold) return expf(x);
    return logf(expf(x) + 1);
}

inline float tanh_via_exp(float x) { return 2.f / (1.f + expf(-2.f * x)) - 1; }

constexpr float kSoftplusThreshold = 20;

float mish_activate(float x) { return x * tanh_via_exp(softplus(x, kSoftplusThreshold)); }

float hard_mish_activate(float x)
{
    if (x > 0) return x;
    if (x > -2) return x * x / 2 + x;
    return 0;
}

float gelu_gradient(float x)
{
    const float x3 = powf(x, 3);
    const float b = 0.0356774f * x3 + 0.797885f * x;
    const float sech = 2.f / (expf(-b) + expf(b));
    return 0.5f * tanhf(b) + (0.0535161f * x3 + 0.398942f * x) * sech * sech + 0.5f;
}

float mish_gradient(float x)
{
    const float sp = softplus(x, kSoftplusThreshold);
    const double t = tanh(static_cast<double>(sp));
    const double g = 1 - exp(-static_cast<double>(sp));
    return static_cast<float>((1 - t * t) * g * x + t);
}

float hard_mish_gradient(float x)
{
    if (x > 0) return 1;
    if (x > -2) return x + 1;
    return 0;
}

// Runs fn over every position; fn receives the first channel value's index.
template <typename Fn> void for_each_position(int n, int channels, int wh_step, Fn fn)
{
    const int positions = n / channels;
    for (int p = 0; p < positions; ++p) {
        const int wh = p % wh_step;
        const int b = p / wh_step;
        fn(wh + b * wh_step * channels);
    }
}

// Baseline x86-64 vectors: the compiler will not if-convert the select at its cheapest setting.
void leaky_run(float *x, int n)
{
    const __m128 zero = _mm_setzero_ps();
    const __m128 scale = _mm_set1_ps(.1f);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 v = _mm_loadu_ps(x + i);
        const __m128 positive = _mm_cmpgt_ps(v, zero);
        _mm_storeu_ps(x + i, _mm_or_ps(_mm_and_ps(positive, v), _mm_andnot_ps(positive, _mm_mul_ps(v, scale))));
    }
    for (; i < n; ++i) x[i] = leaky_activate(x[i]);
}

__attribute__((target("avx"))) void leaky_avx(float *x, int n)
{
    // Taking v where v > 0 is the same choice as scaling every value whose sign bit is set: the
    // two differ only on zeros and NaNs, which scaling by 0.1 leaves unchanged.
    const __m256 scale = _mm256_set1_ps(.1f);
    const __m256 zero = _mm256_setzero_ps();
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        const __m256 positive = _mm256_cmp_ps(v, zero, _CMP_GT_OQ);
        // A blend would be lowered through 256-bit integer compares, which AVX lacks; masks do not.
        _mm256_storeu_ps(x + i,
                         _mm256_or_ps(_mm256_and_ps(positive, v), _mm256_andnot_ps(positive, _mm256_mul_ps(v, scale))));
    }
    for (; i < n; ++i) x[i] = leaky_activate(x[i]);
}

} // namespace

ACTIVATION activation_from_string(const char *s)
{
    for (const activation_name &a : kActivationNames)
        if (strcmp(s, a.name) == 0) return a.kind;
    fprintf(stderr, "Couldn't find activation function %s, going with ReLU\n", s);
    return RELU;
}

const char *get_activation_string(ACTIVATION a)
{
    for (const activation_name &entry : kActivationNames)
        if (entry.kind == a) return entry.name;
    return "relu";
}

float activate(float x, ACTIVATION a)
{
    switch (a) {
    case LOGISTIC: return logistic_activate(x);
    case RELU: return x * (x > 0);
    case RELU6: return fminf(fmaxf(x, 0), 6);
    case RELIE: return x > 0 ? x : .01f * x;
    case LINEAR: return x;
    case RAMP: return x * (x > 0) + .1f * x;
    case TANH: return 2.f / (1.f + expf(-2 * x)) - 1;
    case PLSE: return plse_activate(x);
    case REVLEAKY:
    case LEAKY: return leaky_activate(x);
    case ELU: return (x >= 0) * x + (x < 0) * (expf(x) - 1);
    case LOGGY: return 2.f / (1.f + expf(-x)) - 1;
    case STAIR: return stair_activate(x);
    case HARDTAN: return hardtan_activate(x);
    case LHTAN: return lhtan_activate(x);
    case SELU: return (x >= 0) * 1.0507f * x + (x < 0) * 1.0507f * 1.6732f * (expf(x) - 1);
    case GELU: return gelu_activate(x);
    default: return 0;
    }
}

float gradient(float y, ACTIVATION a)
{
    switch (a) {
    case LOGISTIC: return (1 - y) * y;
    case RELU: return y > 0;
    case RELU6: return y > 0 && y < 6;
    case RELIE: return y > 0 ? 1 : .01f;
    case LINEAR: return 1;
    case RAMP: return (y > 0) + .1f;
    case TANH: return 1 - y * y;
    case PLSE: return (y < 0 || y > 1) ? .01f : .125f;
    case REVLEAKY:
    case LEAKY: return y > 0 ? 1 : .1f;
    case ELU: return (y < 0) * (y + 1) + (y >= 0);
    case LOGGY: {
        const float z = (y + 1) / 2;
        return 2 * (1 - z) * z;
    }
    case STAIR: return floorf(y) == y ? 0 : 1;
    case HARDTAN: return (y > -1 && y < 1) ? 1 : 0;
    case LHTAN: return (y > 0 && y < 1) ? 1 : .001f;
    case SELU: return (y < 0) * (y + 1.0507f * 1.6732f) + (y >= 0) * 1.0507f;
    case GELU: return gelu_gradient(y);
    case NORM_CHAN:
    case NORM_CHAN_SOFTMAX:
    case NORM_CHAN_SOFTMAX_MAXVAL:
        printf(" Error: should be used custom NORM_CHAN or NORM_CHAN_SOFTMAX-function for gradient \n");
        fflush(stdout);
        exit(0);
    default: return 0;
    }
}

void activate_array(float *x, int n, ACTIVATION a)
{
    if (a == LINEAR) return;
    if (a == LEAKY) {
        leaky_run(x, n);
        return;
    }
    if (a == LOGISTIC) {
        for (int i = 0; i < n; ++i) x[i] = logistic_activate(x[i]);
        return;
    }
    for (int i = 0; i < n; ++i) x[i] = activate(x[i], a);
}

void activate_array_cpu_custom(float *x, int n, ACTIVATION a)
{
    if (a == LINEAR) return;
    if (a == LEAKY) {
        if (is_avx()) {
            leaky_avx(x, n);
            return;
        }
        leaky_run(x, n);
        return;
    }
    for (int i = 0; i < n; ++i) x[i] = activate(x[i], a);
}

namespace {

// delta ×= (y > 0 ? 1 : 0.1): the leaky gradient, four and eight values at a time.
void leaky_gradient_run(const float *y, int n, float *delta)
{
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.f), tenth = _mm_set1_ps(.1f);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 positive = _mm_cmpgt_ps(_mm_loadu_ps(y + i), zero);
        const __m128 g = _mm_or_ps(_mm_and_ps(positive, one), _mm_andnot_ps(positive, tenth));
        _mm_storeu_ps(delta + i, _mm_mul_ps(_mm_loadu_ps(delta + i), g));
    }
    for (; i < n; ++i) delta[i] *= y[i] > 0 ? 1.f : .1f;
}

__attribute__((target("avx"))) void leaky_gradient_avx(const float *y, int n, float *delta)
{
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.f), tenth = _mm256_set1_ps(.1f);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 positive = _mm256_cmp_ps(_mm256_loadu_ps(y + i), zero, _CMP_GT_OQ);
        const __m256 g = _mm256_or_ps(_mm256_and_ps(positive, one), _mm256_andnot_ps(positive, tenth));
        _mm256_storeu_ps(delta + i, _mm256_mul_ps(_mm256_loadu_ps(delta + i), g));
    }
    leaky_gradient_run(y + i, n - i, delta + i);
}

} // namespace

void gradient_array(const float *y, int n, ACTIVATION a, float *delta)
{
    // The common kinds get loops of their own, free of the per-value dispatch.
    switch (a) {
    case LINEAR: return;
    case LEAKY:
    case REVLEAKY:
        if (is_avx())
            leaky_gradient_avx(y, n, delta);
        else
            leaky_gradient_run(y, n, delta);
        return;
    case RELU:
        for (int i = 0; i < n; ++i) delta[i] *= (float)(y[i] > 0);
        return;
    case LOGISTIC:
        for (int i = 0; i < n; ++i) delta[i] *= (1 - y[i]) * y[i];
        return;
    default:
        for (int i = 0; i < n; ++i) delta[i] *= gradient(y[i], a);
    }
}

void activate_array_swish(const float *x, int n, float *sigmoid_out, float *out)
{
    for (int i = 0; i < n; ++i) {
        const float v = x[i];
        const float s = logistic_activate(v);
        sigmoid_out[i] = s;
        out[i] = v * s;
    }
}

void activate_array_mish(const float *x, int n, float *input_out, float *out)
{
    for (int i = 0; i < n; ++i) {
        const float v = x[i];
        input_out[i] = v;
        out[i] = mish_activate(v);
    }
}

void activate_array_hard_mish(const float *x, int n, float *input_out, float *out)
{
    for (int i = 0; i < n; ++i) {
        const float v = x[i];
        input_out[i] = v;
        out[i] = hard_mish_activate(v);
    }
}

void gradient_array_swish(const float *y, int n, const float *sigmoid, float *delta)
{
    for (int i = 0; i < n; ++i) delta[i] *= y[i] + sigmoid[i] * (1 - y[i]);
}

void gradient_array_mish(int n, const float *input, float *delta)
{
    for (int i = 0; i < n; ++i) delta[i] *= mish_gradient(input[i]);
}

void gradient_array_hard_mish(int n, const float *input, float *delta)
{
    for (int i = 0; i < n; ++i) delta[i] *= hard_mish_gradient(input[i]);
}

void activate_array_normalize_channels(const float *x, int n, int channels, int wh_step, float *out)
{
    for_each_position(n, channels, wh_step, [&](int base) {
        float sum = .0001f;
        for (int k = 0; k < channels; ++k) {
            const float v = x[base + k * wh_step];
            if (v > 0) sum += v;
        }
        for (int k = 0; k < channels; ++k) {
            const int i = base + k * wh_step;
            const float v = x[i];
            out[i] = v > 0 ? v / sum : 0;
        }
    });
}

void activate_array_normalize_channels_softmax(const float *x, int n, int channels, int wh_step, float *out,
                                               int use_max_val)
{
    for_each_position(n, channels, wh_step, [&](int base) {
        float max_val = 0;
        if (use_max_val) {
            max_val = x[base];
            for (int k = 1; k < channels; ++k) {
                const float v = x[base + k * wh_step];
                if (v > max_val) max_val = v;
            }
        }
        float sum = .0001f;
        for (int k = 0; k < channels; ++k) sum += expf(x[base + k * wh_step] - max_val);
        for (int k = 0; k < channels; ++k) {
            const int i = base + k * wh_step;
            out[i] = expf(x[i] - max_val) / sum;
        }
    });
}

void gradient_array_normalize_channels(const float *x, int n, int channels, int wh_step, float *delta)
{
    for_each_position(n, channels, wh_step, [&](int base) {
        float grad = 0;
        for (int k = 0; k < channels; ++k) {
            const int i = base + k * wh_step;
            grad += x[i] * delta[i];
        }
        for (int k = 0; k < channels; ++k) {
            const int i = base + k * wh_step;
            if (x[i] > 0) delta[i] *= grad;
        }
    });
}

void gradient_array_normalize_channels_softmax(const float *x, int n, int channels, int wh_step, float *delta)
{
    for_each_position(n, channels, wh_step, [&](int base) {
        float grad = 0;
        for (int k = 0; k < channels; ++k) {
            const int i = base + k * wh_step;
            grad += x[i] * delta[i];
        }
        for (int k = 0; k < channels; ++k) delta[base + k * wh_step] *= grad;
    });
}
