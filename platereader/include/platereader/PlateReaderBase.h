#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platereader/CtcDecoder.h"
#include "platereader/DecodeModes.h"
#include "platereader/IPlateReader.h"

class TRTInferer;
class BeamDecoder;

// Preprocessing, the network call and both decodings of a plate reader; subclasses build the
// network and set the fields.
//
// `read` runs the network without a lock (the wrapper lends each call a network of its own) and
// holds the reader's own mutex for the decoding (the decoder buffers are reused).
class PlateReaderBase : public IPlateReader {
  public:
    using CharWithProb = CtcDecoder::CharWithProb;

    ~PlateReaderBase() override;

    // Grey, resized to netWidth x netHeight (bilinear), scaled to [0, 1] by its own minimum and
    // maximum. A crop without contrast (max == min) is prepared as zeros.
    void prepare(std::vector<LPRDetection>& dets) override;
    void read(std::vector<LPRDetection>& dets, std::vector<float>* output) override;
    // Passed on to the inference object: at most `users` networks of the model.
    void setUsers(size_t users) override;

    // What `read` does after the network: decodes `output` (batchSize x ctcSize x ctcWidth scores)
    // into `dets`. Throws std::invalid_argument for an output of the wrong size and
    // std::runtime_error for NaN or infinite scores.
    void decode(std::vector<LPRDetection>& dets, const std::vector<float>& output);

    int getNetWidth() const { return netWidth; }
    int getNetHeight() const { return netHeight; }
    int getCtcSize() const { return ctcSize; }
    int getCtcWidth() const { return ctcWidth; }
    DecodeModes getDecodeMode() const { return decodeMode; }
    int getBeamSize() const { return beamSize; }
    int getCtcSkipCount() const { return ctcSkipCount; }
    const std::string& getAlphabet() const { return alphabet; }

  protected:
    PlateReaderBase();

    // Checks the settings against the model; throws std::invalid_argument with what is wrong.
    void checkSettings() const;
    // Runs the network on the concatenated prepared inputs.
    virtual std::vector<float> infer(std::vector<float> input);

    std::unique_ptr<BeamDecoder> beamSearchImpl;
    int ctcSkipCount = 2;
    DecodeModes decodeMode = BeamSearch;
    bool validationMode = false;
    int beamSize = 3;
    int batchSize = 1;
    std::unique_ptr<TRTInferer> inferer;
    int netWidth = 192;
    int netHeight = 96;
    std::string alphabet = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ ";
    int ctcSize = 48;
    int ctcWidth = 36;
    bool applyLogToInput = true;

  private:
    // The greedy decoding starts at this step whatever the beam decoding skips.
    static constexpr int kGreedyStart = 2;

    void greadySearch(std::vector<LPRDetection>& dets, const std::vector<float>& output);
    void beamSearch(std::vector<LPRDetection>& dets, const std::vector<float>& output);
    void validate(const std::vector<LPRDetection>& dets, const std::vector<float>& output);
    CtcDecoder& greedyDecoder();

    std::unique_ptr<CtcDecoder> greedy;
    std::mutex readMutex;
};
