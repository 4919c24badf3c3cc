// Single-precision array operations on the CPU. Hot loops run in groups of eight independent
// lanes with a scalar tail, so the compiler emits vector code even at its cheapest vectoriser
// setting; the grouping never changes a result, since every lane is computed exactly as alone.
#include "vector_primitives.h"

#include <cfloat>
#include <cmath>

namespace {

constexpr int kLanes = 8;

// Scaled add of a contiguous run: y += alpha * x.
inline void axpy_run(int n, float alpha, const float *__restrict x, float *__restrict y)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) y[i + k] += alpha * x[i + k];
    for (; i < n; ++i) y[i] += alpha * x[i];
}

inline void scale_run(int n, float alpha, float *__restrict x)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) x[i + k] *= alpha;
    for (; i < n; ++i) x[i] *= alpha;
}

inline void add_run(int n, float value, float *__restrict x)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) x[i + k] += value;
    for (; i < n; ++i) x[i] += value;
}

// y += x, element by element.
inline void accumulate_run(int n, const float *__restrict x, float *__restrict y)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) y[i + k] += x[i + k];
    for (; i < n; ++i) y[i] += x[i];
}

// Channel sums run in kLanes interleaved partial sums added together at the end: one running sum
// would wait on each add in turn. The order differs from a single running sum (and is, if anything,
// more accurate); the results are sums all the same.
inline float sum_run(int n, const float *__restrict x)
{
    float partial[kLanes] = {};
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) partial[k] += x[i + k];
    float sum = 0;
    for (int k = 0; k < kLanes; ++k) sum += partial[k];
    for (; i < n; ++i) sum += x[i];
    return sum;
}

// Σ a·(b − shift).
inline float dot_run(int n, const float *__restrict a, const float *__restrict b, float shift)
{
    float partial[kLanes] = {};
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) partial[k] += a[i + k] * (b[i + k] - shift);
    float sum = 0;
    for (int k = 0; k < kLanes; ++k) sum += partial[k];
    for (; i < n; ++i) sum += a[i] * (b[i] - shift);
    return sum;
}

// Σ (x − mean)², the squares and their sum in double precision.
inline double squares_run(int n, const float *__restrict x, float mean)
{
    double partial[kLanes] = {};
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) {
            const double d = x[i + k] - mean;
            partial[k] += d * d;
        }
    double sum = 0;
    for (int k = 0; k < kLanes; ++k) sum += partial[k];
    for (; i < n; ++i) {
        const double d = x[i] - mean;
        sum += d * d;
    }
    return sum;
}

// Values of image b inside a batch of `size` values, src_outputs per image.
inline int image_limit(int size, int src_outputs, int b)
{
    const int left = size - b * src_outputs;
    return left < src_outputs ? left : src_outputs;
}

inline void copy_run(int n, const float *__restrict x, float *__restrict y)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) y[i + k] = x[i + k];
    for (; i < n; ++i) y[i] = x[i];
}

inline void mul_run(int n, const float *__restrict x, float *__restrict y)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) y[i + k] *= x[i + k];
    for (; i < n; ++i) y[i] *= x[i];
}

inline void fill_run(int n, float value, float *__restrict x)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) x[i + k] = value;
    for (; i < n; ++i) x[i] = value;
}

// x = (x - mean) / s over a contiguous run.
inline void normalize_run(int n, float mean, float s, float *__restrict x)
{
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) x[i + k] = (x[i + k] - mean) / s;
    for (; i < n; ++i) x[i] = (x[i] - mean) / s;
}

inline float relu(float w) { return w > 0 ? w : 0; }

// Per-group weight normalisation of the shortcut sum: the n + 1 normalised weights of the inputs
// at weight offset g (one per input, layer_step apart).
struct shortcut_norm {
    WEIGHTS_NORMALIZATION_T mode;
    float max_val;
    float sum;

    shortcut_norm(const float *weights, int g, int layer_step, int n, WEIGHTS_NORMALIZATION_T mode_)
        : mode(mode_), max_val(-FLT_MAX), sum(1)
    {
        if (mode == NO_NORMALIZATION) return;
        if (mode == SOFTMAX_NORMALIZATION)
            for (int k = 0; k <= n; ++k) {
                const float w = weights[g + k * layer_step];
                if (max_val < w) max_val = w;
            }
        sum = 0.0001f;
        for (int k = 0; k <= n; ++k) {
            const float w = weights[g + k * layer_step];
            if (mode == RELU_NORMALIZATION)
                sum += relu(w);
            else if (mode == SOFTMAX_NORMALIZATION)
                sum += expf(w - max_val);
        }
    }

    float operator()(float w) const
    {
        if (mode == RELU_NORMALIZATION) return relu(w) / sum;
        if (mode == SOFTMAX_NORMALIZATION) return expf(w - max_val) / sum;
        return w;
    }
};

} // namespace

void axpy_cpu(int n, float alpha, const float *x, int incx, float *y, int incy)
{
    if (incx == 1 && incy == 1) {
        axpy_run(n, alpha, x, y);
        return;
    }
    for (int i = 0; i < n; ++i) y[i * incy] += alpha * x[i * incx];
}

void scal_cpu(int n, float alpha, float *x, int incx)
{
    if (incx == 1) {
        scale_run(n, alpha, x);
        return;
    }
    for (int i = 0; i < n; ++i) x[i * incx] *= alpha;
}

void fill_cpu(int n, float alpha, float *x, int incx)
{
    if (incx == 1) {
        fill_run(n, alpha, x);
        return;
    }
    for (int i = 0; i < n; ++i) x[i * incx] = alpha;
}

void copy_cpu(int n, const float *x, float *y)
{
    copy_run(n, x, y);
}

void mul_cpu(int n, const float *x, float *y)
{
    mul_run(n, x, y);
}

void weighted_sum_cpu(const float *a, const float *b, const float *s, int n, float *c)
{
    for (int i = 0; i < n; ++i) c[i] = s[i] * a[i] + (1 - s[i]) * (b ? b[i] : 0);
}

void mean_cpu(const float *x, int batch, int filters, int spatial, float *mean)
{
    const float count = static_cast<float>(batch * spatial);
    for (int f = 0; f < filters; ++f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b) sum += sum_run(spatial, x + (b * filters + f) * spatial);
        mean[f] = sum / count;
    }
}

void variance_cpu(const float *x, const float *mean, int batch, int filters, int spatial, float *variance)
{
    // A single value per channel has no spread; dividing by one instead of zero reports that as 0.
    const float divisor = static_cast<float>(batch * spatial - 1 > 0 ? batch * spatial - 1 : 1);
    for (int f = 0; f < filters; ++f) {
        double sum = 0;
        for (int b = 0; b < batch; ++b) sum += squares_run(spatial, x + (b * filters + f) * spatial, mean[f]);
        variance[f] = static_cast<float>(sum) / divisor;
    }
}

void normalize_cpu(float *x, const float *mean, const float *variance, int batch, int filters, int spatial)
{
    for (int b = 0; b < batch; ++b)
        for (int f = 0; f < filters; ++f)
            normalize_run(spatial, mean[f], sqrtf(variance[f] + kNormEpsilon), x + (b * filters + f) * spatial);
}

void normalize_scale_bias_run(float *x, int n, float mean, float variance, float scale, float bias)
{
    const float s = sqrtf(variance + kNormEpsilon);
    for (int i = 0; i < n; ++i) {
        const float normalised = (x[i] - mean) / s;
        const float scaled = normalised * scale;
        x[i] = scaled + bias;
    }
}

void add_bias(float *output, const float *biases, int batch, int n, int size)
{
    for (int b = 0; b < batch; ++b)
        for (int i = 0; i < n; ++i) add_run(size, biases[i], output + (b * n + i) * size);
}

void scale_bias(float *output, const float *scales, int batch, int n, int size)
{
    for (int b = 0; b < batch; ++b)
        for (int i = 0; i < n; ++i) scale_run(size, scales[i], output + (b * n + i) * size);
}

void backward_bias(float *bias_updates, const float *delta, int batch, int n, int size)
{
    for (int b = 0; b < batch; ++b)
        for (int i = 0; i < n; ++i) {
            bias_updates[i] += sum_run(size, delta + (b * n + i) * size);
        }
}

void backward_scale_cpu(const float *x_norm, const float *delta, int batch, int n, int size, float *scale_updates)
{
    for (int i = 0; i < n; ++i) {
        float sum = 0;
        for (int b = 0; b < batch; ++b) {
            const int base = (b * n + i) * size;
            sum += dot_run(size, delta + base, x_norm + base, 0);
        }
        scale_updates[i] += sum;
    }
}

void mean_delta_cpu(const float *delta, const float *variance, int batch, int filters, int spatial, float *mean_delta)
{
    for (int f = 0; f < filters; ++f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b) sum += sum_run(spatial, delta + (b * filters + f) * spatial);
        mean_delta[f] = sum * (-1.f / sqrtf(variance[f] + kNormEpsilon));
    }
}

void variance_delta_cpu(const float *x, const float *delta, const float *mean, const float *variance, int batch,
                        int filters, int spatial, float *variance_delta)
{
    for (int f = 0; f < filters; ++f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b) {
            const int base = (b * filters + f) * spatial;
            sum += dot_run(spatial, delta + base, x + base, mean[f]);
        }
        variance_delta[f] =
            static_cast<float>(sum * -.5f * pow(static_cast<double>(variance[f] + kNormEpsilon), -1.5));
    }
}

void normalize_delta_cpu(const float *x, const float *mean, const float *variance, const float *mean_delta,
                         const float *variance_delta, int batch, int filters, int spatial, float *delta)
{
    const double count = static_cast<double>(spatial) * batch;
    const double eps = kNormEpsilon;
    for (int b = 0; b < batch; ++b)
        for (int f = 0; f < filters; ++f) {
            // The two divisions become multiplications by values taken once per channel: in double
            // precision that moves the sum by an ulp of a double or so, far below the float result's.
            const double scale = 1 / (sqrt(static_cast<double>(variance[f])) + eps);
            const double m = mean[f];
            const double slope = variance_delta[f] * 2. / count;
            const double md = mean_delta[f] / count;
            float *d = delta + (size_t)(b * filters + f) * spatial;
            const float *xs = x + (size_t)(b * filters + f) * spatial;
            int j = 0;
            for (; j + kLanes <= spatial; j += kLanes)
                for (int k = 0; k < kLanes; ++k)
                    d[j + k] = static_cast<float>(d[j + k] * scale + slope * (xs[j + k] - m) + md);
            for (; j < spatial; ++j) d[j] = static_cast<float>(d[j] * scale + slope * (xs[j] - m) + md);
        }
}

void shortcut_multilayer_cpu(int size, int src_outputs, int n, const int *outputs_of_layers, float **layers_output,
                             float *out, const float *in, const float *weights, int nweights,
                             WEIGHTS_NORMALIZATION_T weights_normalization)
{
    const int images = (size + src_outputs - 1) / src_outputs;
    if (nweights == 0) {
        copy_cpu(size, in, out);
        for (int b = 0; b < images; ++b) {
            const int limit = image_limit(size, src_outputs, b);
            for (int k = 0; k < n; ++k) {
                const int other = outputs_of_layers[k];
                accumulate_run(other < limit ? other : limit, layers_output[k] + other * b, out + b * src_outputs);
            }
        }
        return;
    }
    const int layer_step = nweights / (n + 1);
    const int step = src_outputs / layer_step;
    for (int b = 0; b < images; ++b) {
        const int limit = image_limit(size, src_outputs, b);
        float *o = out + b * src_outputs;
        const float *x = in + b * src_outputs;
        for (int start = 0; start < limit; start += step) {
            const int g = start / step;
            const int end = start + step < limit ? start + step : limit;
            const shortcut_norm norm(weights, g, layer_step, n, weights_normalization);
            const float w0 = norm(weights[g]);
            for (int i = start; i < end; ++i) o[i] = x[i] * w0;
            for (int k = 0; k < n; ++k) {
                const int other = outputs_of_layers[k];
                const int stop = end < other ? end : other;
                if (start >= stop) continue;
                axpy_run(stop - start, norm(weights[g + (k + 1) * layer_step]), layers_output[k] + other * b + start,
                         o + start);
            }
        }
    }
}

void backward_shortcut_multilayer_cpu(int size, int src_outputs, int n, const int *outputs_of_layers,
                                      float **layers_delta, float *delta_out, const float *delta_in,
                                      const float *weights, float *weight_updates, int nweights, const float *in,
                                      float **layers_output, WEIGHTS_NORMALIZATION_T weights_normalization)
{
    const int images = (size + src_outputs - 1) / src_outputs;
    if (nweights == 0) {
        accumulate_run(size, delta_in, delta_out);
        for (int b = 0; b < images; ++b) {
            const int limit = image_limit(size, src_outputs, b);
            for (int k = 0; k < n; ++k) {
                const int other = outputs_of_layers[k];
                accumulate_run(other < limit ? other : limit, delta_in + b * src_outputs,
                               layers_delta[k] + other * b);
            }
        }
        return;
    }
    const int layer_step = nweights / (n + 1);
    const int step = src_outputs / layer_step;
    for (int b = 0; b < images; ++b) {
        const int limit = image_limit(size, src_outputs, b);
        const float *d = delta_in + b * src_outputs;
        const float *x = in + b * src_outputs;
        for (int start = 0; start < limit; start += step) {
            const int g = start / step;
            const int end = start + step < limit ? start + step : limit;
            const shortcut_norm norm(weights, g, layer_step, n, weights_normalization);
            axpy_run(end - start, norm(weights[g]), d + start, delta_out + b * src_outputs + start);
            // Accumulated in the order of the output positions, as a per-position loop would.
            float wu = weight_updates[g];
            for (int i = start; i < end; ++i) wu += x[i] * d[i];
            weight_updates[g] = wu;
            for (int k = 0; k < n; ++k) {
                const int other = outputs_of_layers[k];
                const int stop = end < other ? end : other;
                if (start >= stop) continue;
                const int wi = g + (k + 1) * layer_step;
                axpy_run(stop - start, norm(weights[wi]), d + start, layers_delta[k] + other * b + start);
                const float *y = layers_output[k] + other * b;
                float u = weight_updates[wi];
                for (int i = start; i < stop; ++i) u += y[i] * d[i];
                weight_updates[wi] = u;
            }
        }
    }
}

void smooth_l1_cpu(int n, const float *pred, const float *truth, float *delta, float *error)
{
    for (int i = 0; i < n; ++i) {
        const float diff = truth[i] - pred[i];
        const float abs_val = fabsf(diff);
        if (abs_val < 1) {
            error[i] = diff * diff;
            delta[i] = diff;
        } else {
            error[i] = 2 * abs_val - 1;
            delta[i] = diff > 0 ? 1.f : -1.f;
        }
    }
}

void l2_cpu(int n, const float *pred, const float *truth, float *delta, float *error)
{
    for (int i = 0; i < n; ++i) {
        const float diff = truth[i] - pred[i];
        error[i] = diff * diff;
        delta[i] = diff;
    }
}

void softmax_x_ent_cpu(int n, const float *pred, const float *truth, float *delta, float *error)
{
    for (int i = 0; i < n; ++i) {
        const float t = truth[i];
        const float p = pred[i];
        error[i] = t ? -logf(p) : 0;
        delta[i] = t - p;
    }
}

void softmax(const float *input, int n, float temp, float *output)
{
    float largest = -FLT_MAX;
    for (int i = 0; i < n; ++i)
        if (input[i] > largest) largest = input[i];
    float sum = 0;
    for (int i = 0; i < n; ++i) {
        const float e = static_cast<float>(exp(static_cast<double>(input[i] / temp - largest / temp)));
        sum += e;
        output[i] = e;
    }
    for (int i = 0; i < n; ++i) output[i] /= sum;
}

void softmax_cpu(const float *input, int n, int batch, int batch_offset, int groups, int group_offset, float temp,
                 float *output)
{
    for (int b = 0; b < batch; ++b)
        for (int g = 0; g < groups; ++g) {
            const int offset = b * batch_offset + g * group_offset;
            softmax(input + offset, n, temp, output + offset);
        }
}

void get_embedding(const float *src, int src_w, int src_h, int src_c, int embedding_size, int cur_w, int cur_h,
                   int cur_n, int cur_b, float *dst)
{
    const int plane = src_w * src_h;
    const float *base = src + cur_b * (src_c * plane) + cur_n * (embedding_size * plane) + cur_h * src_w + cur_w;
    for (int i = 0; i < embedding_size; ++i) dst[i] = base[i * plane];
}

float math_vector_length(const float *a, unsigned int n)
{
    float sum = 0;
    for (unsigned int i = 0; i < n; ++i) sum += a[i] * a[i];
    return sqrtf(sum);
}

float cosine_similarity(const float *a, const float *b, unsigned int n)
{
    float dot = 0;
    for (unsigned int i = 0; i < n; ++i) dot += a[i] * b[i];
    const float norms = math_vector_length(a, n) * math_vector_length(b, n);
    return norms > 0 ? dot / norms : 0;
}
