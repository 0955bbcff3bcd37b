// Edits of packets that lose nothing, over the quiet loader and checks of OrvXmlLoad.h: the
// layer beneath `orvter xml set` and the Python Packet. The interfaces of OrvXmlPack.h keep their
// own behaviour.
#pragma once

#include <string>

#include "OrvExport.h"
#include "OrvXmlLoad.h"
#include "OrvXmlPack.h"

namespace orv {

enum class XmlEdit { done, notFound, refused };
// Sets the text of the element at `path` of `pack`, or its attribute `*attr` when `attr` is not
// null; with `create`, the missing elements of the path are made first (as makePath makes them).
// Names and values other readers could not read are refused before anything changes, with the
// reason in `why`.
ORV_API XmlEdit setPacketValue(IOrvXmlPack* pack, const std::string& path, const std::string& value,
                               const std::string* attr, bool create, std::string* why);

}  // namespace orv
