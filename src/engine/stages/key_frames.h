#pragma once
// Where the key frames go: at every scene cut, where a key frame costs no
// more than the predicted frame it replaces and gives the new picture a clean
// start, and never on a still picture, where it would only repeat what the
// viewer already has. The encoder's own scene detection misses most hard cuts
// between stills (one in four on a slide show), and its fixed interval puts
// key frames in the middle of a slide.
//
// A cut is a picture most of which cannot be found near where it was in the
// previous one. Pictures are compared as a coarse grid of block averages, each
// 3x3 patch searched a few blocks around its place: a fast pan still finds its
// patches, a new picture does not (docs/encoding-rules.md, [Cuts between
// pictures]).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"

namespace velmora::encoder {

class KeyFrameChooser {
  public:
    // `interval`: frames between key frames while the picture moves.
    explicit KeyFrameChooser(int interval) : interval_(std::max(1, interval)) {}

    // True when this picture (yuv420p, luma read only) should be a key frame.
    bool choose(const AVFrame& picture) {
        std::vector<float> grid = blockMeans(picture);
        bool key = previous_.empty() || grid.size() != previous_.size();
        still_ = !key && isStill(grid);
        if (!key) {
            ++sinceKey_;
            key = isCut(grid) || (sinceKey_ >= interval_ && !still_);
        }
        if (key) sinceKey_ = 0;
        previous_ = std::move(grid);
        return key;
    }

    // The picture last chosen for is the one before it over again.
    bool still() const { return still_; }

    // The coarse grid: about this many blocks across, whatever the size.
    static constexpr int kColumns = 20;
    // A patch is found when its average difference is at most this (0-255 luma).
    static constexpr float kFoundError = 12;
    // Searched this many blocks each way.
    static constexpr int kReach = 3;
    // A cut leaves more than this part of the patches unfound.
    static constexpr double kCutShare = 0.6;

  private:
    std::vector<float> blockMeans(const AVFrame& picture) {
        const int block = std::max(4, picture.width / kColumns);
        columns_ = std::max(1, picture.width / block);
        rows_ = std::max(1, picture.height / block);
        // Whole numbers and a plain inner run per block: this runs on every
        // frame, on the video thread, which is the job's slowest.
        std::vector<std::uint32_t> sums(static_cast<std::size_t>(columns_) * rows_, 0);
        for (int y = 0; y < rows_ * block; ++y) {
            const std::uint8_t* line =
                picture.data[0] + static_cast<std::ptrdiff_t>(y) * picture.linesize[0];
            std::uint32_t* row = &sums[static_cast<std::size_t>(y / block) * columns_];
            for (int column = 0; column < columns_; ++column, line += block) {
                std::uint32_t sum = 0;
                for (int x = 0; x < block; ++x) sum += line[x];
                row[column] += sum;
            }
        }
        const float area = static_cast<float>(block * block);
        std::vector<float> grid(sums.size());
        for (std::size_t i = 0; i < sums.size(); ++i) grid[i] = static_cast<float>(sums[i]) / area;
        return grid;
    }

    float at(const std::vector<float>& grid, int column, int row) const {
        column = std::clamp(column, 0, columns_ - 1);
        row = std::clamp(row, 0, rows_ - 1);
        return grid[static_cast<std::size_t>(row) * columns_ + column];
    }

    float patchError(const std::vector<float>& grid, int column, int row, int dx, int dy) const {
        float sum = 0;
        for (int py = -1; py <= 1; ++py)
            for (int px = -1; px <= 1; ++px)
                sum += std::fabs(at(grid, column + px, row + py) -
                                 at(previous_, column + px + dx, row + py + dy));
        return sum / 9;
    }

    bool isCut(const std::vector<float>& grid) const {
        const int patches = rows_ * columns_;
        const int enough = patches - static_cast<int>(kCutShare * patches);  // found: no cut
        int unfound = 0, found = 0;
        for (int row = 0; row < rows_; ++row) {
            for (int column = 0; column < columns_; ++column) {
                // Where it was first: most of a picture has not moved.
                bool here = patchError(grid, column, row, 0, 0) <= kFoundError;
                for (int dy = -kReach; dy <= kReach && !here; ++dy)
                    for (int dx = -kReach; dx <= kReach && !here; ++dx)
                        here = patchError(grid, column, row, dx, dy) <= kFoundError;
                if (!here) {
                    ++unfound;
                } else if (++found > enough) {
                    return false;
                }
            }
        }
        return unfound > kCutShare * patches;
    }

    // Nothing moved: every block within a step of rounding.
    bool isStill(const std::vector<float>& grid) const {
        for (std::size_t i = 0; i < grid.size(); ++i)
            if (std::fabs(grid[i] - previous_[i]) > 1.0f) return false;
        return true;
    }

    int interval_;
    int sinceKey_ = 0;
    bool still_ = false;
    int columns_ = 0, rows_ = 0;
    std::vector<float> previous_;
};

}  // namespace velmora::encoder
