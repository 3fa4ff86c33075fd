// The checks made on a music file before a tag reader opens it: no tag it
// announces may be larger than the tag limit, none may run past the end.
#pragma once

#include "meta/containers.h"

namespace pipd::meta::detail {

// What is wrong with the tags the file's containers announce, without
// reading them: one too large, or an ID3v2 tag at the start that runs past
// the end; null when nothing is. Looks at the ID3v2 tag at the start, an
// APEv2 tag at the end (before an ID3v1 tag), and the LIST and "id3 " chunks
// of a RIFF file.
const char *tag_fault(file_handle &file);

} // namespace pipd::meta::detail
