#include <new>

#include "OrvBasic.h"

namespace orv {

LasPntArray::LasPntArray() = default;
LasPntArray::~LasPntArray() = default;
LasPntArray* newLasPntArray() { return new (std::nothrow) LasPntArray; }

LasPntPool::LasPntPool() = default;
LasPntPool::~LasPntPool() = default;
LasPntPool* newLasPntPool() { return new (std::nothrow) LasPntPool; }

PLasPntPool::PLasPntPool() = default;
PLasPntPool::~PLasPntPool() = default;
PLasPntPool* newPLasPntPool() { return new (std::nothrow) PLasPntPool; }

}  // namespace orv
