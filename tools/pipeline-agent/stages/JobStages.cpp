#include "stages/JobStages.h"

StageConfig JobStages::part(const std::string& name, unsigned long stream,
                            std::size_t partFrameSize) const {
    StageConfig config;
    config.codec = codec;
    config.level = level;
    config.key = key;
    config.base.jobId = jobId;
    config.base.fileId = fileIdOfName(name);
    config.base.stream = static_cast<uint32_t>(stream);
    config.base.frameIndex = 0;
    config.frameSize = partFrameSize;
    config.fileName = name;
    return config;
}
