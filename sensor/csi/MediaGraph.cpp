#include "sensor/csi/MediaGraph.h"

#include <cstdio>
#include <cstring>

namespace Zentrox {

int MediaGraph::query(uint32_t id, media_entity_desc& desc, Retry retry) {
    std::memset(&desc, 0, sizeof desc);
    desc.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    return fd.ioctl(MEDIA_IOC_ENUM_ENTITIES, &desc, retry);
}

bool MediaGraph::next(uint32_t id, media_entity_desc& desc, Retry retry) {
    if (query(id, desc, retry) < 0) return false;
    // The kernel answers the next entity above `id`; one that does not advance would repeat for ever.
    return (desc.id & ~MEDIA_ENT_ID_FLAG_NEXT) > id;
}

uint32_t MediaGraph::lookup(const char* name) {
    uint32_t id = 0;
    for (;;) {
        media_entity_desc desc;
        if (query(id, desc, Retry::ONCE) != 0) {
            std::perror("Query entity failed");
            return kNoEntity;
        }
        if (std::strncmp(desc.name, name, sizeof desc.name) == 0) return desc.id;
        if ((desc.id & ~MEDIA_ENT_ID_FLAG_NEXT) <= id) return kNoEntity;
        id = desc.id;
    }
}

bool MediaGraph::enableLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad) {
    media_link_desc link;
    std::memset(&link, 0, sizeof link);
    link.source.entity = source;
    link.source.index = sourcePad;
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = sink;
    link.sink.index = sinkPad;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = MEDIA_LNK_FL_ENABLED;
    return fd.ioctl(MEDIA_IOC_SETUP_LINK, &link, Retry::ONCE) == 0;
}

}  // namespace Zentrox
