#pragma once

#include <cstddef>

// Connectionist temporal classification (CTC) loss on the CPU, with the calling convention of
// the warp-ctc library.
//
// Activations are unnormalised scores (logits): they are softmaxed per step inside, so passing the
// natural logarithms of probabilities that already sum to 1 gives those probabilities back.
// Layout: step-major, then batch item, then symbol: the score of symbol k at step t of item b is
// activations[(t * minibatch + b) * alphabet_size + k], t below the largest input length.
//
// cost[b] = -ln P(labels of b | activations of b), summed over every alignment of the labels to
// the item's input_lengths[b] steps (a step may repeat the previous symbol or be the blank).
// When the labels cannot fit in the steps (more labels plus repeated neighbours than steps), or
// a step gives every symbol probability 0 (all scores -inf), P is 0 and the cost is +infinity,
// so exp(-cost) is a confidence of 0. An item whose scores hold NaN or +infinity gets a NaN cost
// and the call returns CTC_STATUS_INVALID_VALUE; the other items are still computed.
//
// Thread safety: calls share no state; each call needs its own workspace.

enum ctcStatus_t {
    CTC_STATUS_SUCCESS = 0,
    CTC_STATUS_MEMOPS_FAILED = 1,
    CTC_STATUS_INVALID_VALUE = 2,
    CTC_STATUS_EXECUTION_FAILED = 3,
    CTC_STATUS_UNKNOWN_ERROR = 4,
};

enum ctcComputeLocation {
    CTC_CPU = 0,
    CTC_GPU = 1,  // not available here: refused with CTC_STATUS_INVALID_VALUE
};

struct ctcOptions {
    ctcComputeLocation loc = CTC_CPU;
    // Items are computed one after another on the calling thread; kept for the interface.
    unsigned int num_threads = 1;
    // The blank symbol, in [0, alphabet_size).
    int blank_label = 0;
};

// A text for a status ("no error", "invalid value", ...); never null.
const char* ctcGetStatusString(ctcStatus_t status);

// Bytes of workspace that compute_ctc_loss needs for these lengths.
ctcStatus_t get_workspace_size(const int* label_lengths, const int* input_lengths, int alphabet_size,
                               int minibatch, ctcOptions options, size_t* size_bytes);

// Writes minibatch costs. `gradients` must be null: gradients are not computed by this library.
// `flat_labels`: the labels of all items concatenated; each in [0, alphabet_size) and not the blank.
// `workspace`: at least the size given by get_workspace_size, suitably aligned for float.
// Invalid arguments (null pointers, sizes below 1, negative lengths, a label out of range or equal
// to the blank, a blank out of range, CTC_GPU) return CTC_STATUS_INVALID_VALUE with no cost written.
ctcStatus_t compute_ctc_loss(const float* activations, float* gradients, const int* flat_labels,
                             const int* label_lengths, const int* input_lengths, int alphabet_size,
                             int minibatch, float* costs, void* workspace, ctcOptions options);
