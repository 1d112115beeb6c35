// qxVoice bodies. Not built yet: every operation fails.
#include "material/qxvoice.h"

int qxvoice_read(Project&, ByteSource&, Woice&, int*) { return 0; }
int qxvoice_read_wave(ByteSource&, Voice&) { return 0; }
int qxvoice_write(Project&, FILE*, int32_t*, Woice&, int) { return 0; }
int qxvoice_write_wave(FILE*, const Voice&, int32_t*) { return 0; }
int32_t qxvoice_body_size(const Woice&) { return 0; }
