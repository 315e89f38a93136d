#pragma once

#include "captioning/AudioBuffer.h"

#include <QString>

#include <cstdint>

// A recording read block by block: only the block being handed out is held, so memory stays the same
// whatever the input's length, and a pipe or a FIFO works as well as a file. The format is fixed for
// the whole input, even when the stored sound changes rate or channels partway.
class AudioFileDecoder
{
public:
    virtual ~AudioFileDecoder() = default;

    virtual const AudioFormat &format() const = 0;
    // Up to `frames` further frames, as a view valid until the next call. Empty at the end of the audio,
    // or when reading failed, and then error() says why.
    virtual AudioBuffer next(std::uint32_t frames) = 0;
    virtual const QString &error() const = 0;
};
