// OGG materials. Not built yet: no operation is installed.
#include "material/ogg.h"

#include "project/project.h"

int32_t ogg_body_size(const OggStream*) { return 0; }
int ogg_write_body(const OggStream*, FILE*) { return 0; }
int ogg_decode(const OggStream*, PcmBuffer*) { return 0; }
int ogg_read_body(ByteSource&, OggStream*) { return 0; }
void ogg_release(std::unique_ptr<OggStream>& stream) { stream.reset(); }
void ogg_codec_install(Project& p) { p.ogg_codec = OggCodec{}; }
size_t ogg_mem_read(void*, size_t, size_t, void*) { return 0; }
int ogg_mem_seek(void*, int64_t, int) { return -1; }
int ogg_mem_close(void*) { return -1; }
long ogg_mem_tell(void*) { return -1; }
