// The media controller node of a capture path: its entities, looked up by name or walked in order,
// and its links.
#pragma once

#include <linux/media.h>

#include <cstdint>

#include "system/KernelFd.h"

namespace Zentrox {

class MediaGraph {
  public:
    static constexpr uint32_t kNoEntity = 0xFFFFFFFFu;

    MediaGraph() = default;
    explicit MediaGraph(KernelFd node) : fd(std::move(node)) {}

    bool valid() const { return fd.valid(); }
    KernelSeam& kernelSeam() const { return fd.kernelSeam(); }

    // The entity after `id` (0 for the first); false at the end of the list or when the answer does
    // not advance (it would repeat for ever). `retry` is the caller's rule for the request.
    bool next(uint32_t id, media_entity_desc& desc, Retry retry);
    // Id of the entity called `name`, searched from the start with one attempt per request;
    // kNoEntity when it is missing or the search failed (after a message).
    uint32_t lookup(const char* name);
    // Enables the link from pad `sourcePad` of `source` to pad `sinkPad` of `sink`.
    bool enableLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad);

  private:
    // The ioctl's answer for the entity after `id`.
    int query(uint32_t id, media_entity_desc& desc, Retry retry);

    KernelFd fd;
};

}  // namespace Zentrox
