#include "xml/XmlArray.h"

#include <new>

namespace orv {

void throwArraySubscript() {
    throw std::out_of_range("invalid vector<T> subscript");
}

OrvXmlElemArray::OrvXmlElemArray() = default;
OrvXmlElemArray::OrvXmlElemArray(const OrvXmlElemArray& other) : OrvItemArray(other) {}
OrvXmlElemArray& OrvXmlElemArray::operator=(const OrvXmlElemArray& other) {
    OrvArray::operator=(other);
    return *this;
}
OrvXmlElemArray::~OrvXmlElemArray() = default;

OrvXmlDocArray::OrvXmlDocArray() = default;
OrvXmlDocArray::OrvXmlDocArray(const OrvXmlDocArray& other) : OrvItemArray(other) {}
OrvXmlDocArray& OrvXmlDocArray::operator=(const OrvXmlDocArray& other) {
    OrvArray::operator=(other);
    return *this;
}
OrvXmlDocArray::~OrvXmlDocArray() = default;

OrvXmlElemArray* newOrvXmlElemArray() {
    return new (std::nothrow) ArrayRefPointerImp<OrvXmlElemArray, IOrvXmlElem*>();
}

}  // namespace orv
