#include "OrvXmlPack.h"

namespace orv {

OrvXmlPackArray::OrvXmlPackArray() = default;
OrvXmlPackArray::OrvXmlPackArray(const OrvXmlPackArray& other) : OrvItemArray(other) {}
OrvXmlPackArray& OrvXmlPackArray::operator=(const OrvXmlPackArray& other) {
    OrvArray::operator=(other);
    return *this;
}
OrvXmlPackArray::~OrvXmlPackArray() = default;

}  // namespace orv
