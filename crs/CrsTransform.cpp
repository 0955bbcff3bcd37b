// Block transforms through proj_trans_generic: each thread owns a PROJ context and its own copy
// of the transformation, since PROJ objects may not be shared between threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>

#include "OrvCrs.h"
#include "crs/ProjContext.h"

namespace orv {

namespace {

using crs::ContextPtr;
using crs::PjPtr;

struct Worker {
    ContextPtr ctx;
    PjPtr pj;
};

// Points below which a block is not split between threads: starting one costs more.
constexpr size_t kLeastPointsPerThread = 4096;
// Points a thread transforms at a time.
constexpr size_t kChunk = 8192;

// The transformation PROJ ranks first between the two when every grid is at hand: what it
// would use with all its grids. `ballpark` when that is a ballpark (or there is none at all).
PjPtr bestOperation(PJ_CONTEXT* ctx, const PJ* from, const PJ* to, bool& ballpark) {
    PJ_OPERATION_FACTORY_CONTEXT* factory = proj_create_operation_factory_context(ctx, nullptr);
    proj_operation_factory_context_set_grid_availability_use(ctx, factory,
                                                             PROJ_GRID_AVAILABILITY_IGNORED);
    proj_operation_factory_context_set_spatial_criterion(
        ctx, factory, PROJ_SPATIAL_CRITERION_PARTIAL_INTERSECTION);
    PJ_OBJ_LIST* ops = proj_create_operations(ctx, from, to, factory);
    PjPtr best(ops && proj_list_get_count(ops) > 0 ? proj_list_get(ctx, ops, 0) : nullptr);
    ballpark = !best || proj_coordoperation_has_ballpark_transformation(ctx, best.get());
    proj_list_destroy(ops);
    proj_operation_factory_context_destroy(factory);
    return best;
}

// The grids `op` needs that are not on this machine, fetched first when `network` allows it;
// those still missing, by name, with why ("" when all are there).
std::string missingGrids(PJ_CONTEXT* ctx, const PJ* op, bool network) {
    std::string missing;
    const int grids = proj_coordoperation_get_grid_used_count(ctx, op);
    for (int i = 0; i < grids; ++i) {
        const char* name = nullptr;
        const char* url = nullptr;
        int available = 1;
        // `ctx` has no network here, so "available" means on this machine.
        if (!proj_coordoperation_get_grid_used(ctx, op, i, &name, nullptr, nullptr, &url, nullptr,
                                               nullptr, &available) ||
            available || !name)
            continue;
        if (network && url && *url) {
            // Fetched whole before any point moves: a fetch failing midway would let PROJ
            // fall back, point by point, to a transformation that ignores the grid.
            proj_context_set_enable_network(ctx, 1);
            const bool fetched = proj_download_file(ctx, url, 0, nullptr, nullptr) == 1;
            proj_context_set_enable_network(ctx, 0);
            if (fetched) continue;
            missing += std::string(missing.empty() ? "" : ", ") + name + " (cannot fetch " + url +
                       ")";
            continue;
        }
        missing += std::string(missing.empty() ? "" : ", ") + name;
    }
    return missing;
}

}  // namespace

struct CrsTransform::Impl {
    std::vector<Worker> workers;
    std::string error;
    bool network = false;
};

CrsTransform::CrsTransform() : m_impl(std::make_unique<Impl>()) {}
CrsTransform::~CrsTransform() = default;

void CrsTransform::setNetwork(bool allowed) {
    m_impl->network = allowed;
}

const std::string& CrsTransform::error() const {
    return m_impl->error;
}

int CrsTransform::open(const Crs& from, const Crs& to, unsigned threads) {
    Impl& m = *m_impl;
    m.workers.clear();
    m.error.clear();
    if (from.empty() || to.empty()) {
        m.error = "a transformation needs a source and a target CRS";
        return -1;
    }
    const std::string between = "from " + from.name() + " to " + to.name();
    // Heights that change between the two must change through the grid they need, never
    // silently stay as they are.
    const Crs fromHeight = from.vertical(), toHeight = to.vertical();
    const bool heightsChange = from.hasHeight() && to.hasHeight() &&
                               (!fromHeight.empty() || !toHeight.empty()) &&
                               !(fromHeight.equivalentTo(toHeight));
    for (unsigned t = 0; t < std::max(1u, threads); ++t) {
        Worker w{crs::newContext(), nullptr};
        PjPtr a = crs::createCrs(w.ctx.get(), from.definition());
        PjPtr b = crs::createCrs(w.ctx.get(), to.definition());
        if (!a || !b) {
            m.error = "PROJ cannot recreate the CRS " + (a ? to : from).name();
            return -1;
        }
        if (t == 0) {
            // What PROJ would do with all its grids, or nothing: never a lesser transformation
            // standing in for one whose grid is not here.
            bool ballpark = false;
            PjPtr best = bestOperation(w.ctx.get(), a.get(), b.get(), ballpark);
            const std::string missing =
                best ? missingGrids(w.ctx.get(), best.get(), m.network) : std::string();
            // Without the network, points that keep their heights may take the transformation
            // PROJ falls back to, as cs2cs does; with it, a grid it cannot fetch would make
            // that choice point by point, unseen.
            if (!missing.empty() && (heightsChange || m.network)) {
                m.error = (heightsChange ? "heights " : "points ") + between + " need the grid " +
                          missing + ", which PROJ cannot find (add it to a folder in PROJ_DATA" +
                          (m.network ? "" : ", or let PROJ fetch it with its network") + ")";
                return -1;
            }
            if (heightsChange && ballpark) {
                m.error = "PROJ knows no transformation of heights " + between;
                return -1;
            }
        }
        proj_context_set_enable_network(w.ctx.get(), m.network ? 1 : 0);
        // Heights that change never fall back to a ballpark that leaves them as they were.
        const char* const noBallpark[] = {"ALLOW_BALLPARK=NO", nullptr};
        PjPtr op(proj_create_crs_to_crs_from_pj(w.ctx.get(), a.get(), b.get(), nullptr,
                                                heightsChange ? noBallpark : nullptr));
        if (op) op.reset(proj_normalize_for_visualization(w.ctx.get(), op.get()));
        if (!op) {
            const int err = proj_context_errno(w.ctx.get());
            m.error = "PROJ knows no transformation " + between +
                      (err ? std::string(": ") + proj_context_errno_string(w.ctx.get(), err) : "");
            return -1;
        }
        w.pj = std::move(op);
        m.workers.push_back(std::move(w));
    }
    return 0;
}

namespace {

// PROJ marks a point it cannot transform with HUGE_VAL; returns the first such index, or n.
size_t transformRun(PJ* pj, double* x, double* y, double* z, size_t n, size_t stride) {
    proj_errno_reset(pj);
    proj_trans_generic(pj, PJ_FWD, x, stride, n, y, stride, n, z, z ? stride : 0, z ? n : 0,
                       nullptr, 0, 0);
    auto at = [stride](const double* p, size_t i) {
        return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(p) + i * stride);
    };
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(at(x, i)) || !std::isfinite(at(y, i)) || (z && !std::isfinite(at(z, i))))
            return i;
    return n;
}

double* advance(double* p, size_t points, size_t stride) {
    return p ? reinterpret_cast<double*>(reinterpret_cast<char*>(p) + points * stride) : nullptr;
}

}  // namespace

size_t CrsTransform::transform(double* x, double* y, double* z, size_t n, size_t stride) {
    std::vector<Worker>& workers = m_impl->workers;
    if (workers.empty()) return 0;
    const size_t threads = std::min(workers.size(), std::max<size_t>(1, n / kLeastPointsPerThread));
    if (threads == 1) return transformRun(workers[0].pj.get(), x, y, z, n, stride);
    // Threads take chunks in turn rather than one share each: on a busy machine a thread that
    // is held back leaves its chunks to the others instead of keeping them all waiting.
    const size_t chunks = (n + kChunk - 1) / kChunk;
    std::atomic<size_t> next{0};
    std::atomic<size_t> firstFailure{n};
    auto run = [&](size_t t) {
        for (size_t k = next++; k < chunks; k = next++) {
            const size_t at = k * kChunk, count = std::min(kChunk, n - at);
            const size_t done =
                transformRun(workers[t].pj.get(), advance(x, at, stride), advance(y, at, stride),
                             advance(z, at, stride), count, stride);
            size_t seen = firstFailure.load();
            while (done < count && at + done < seen &&
                   !firstFailure.compare_exchange_weak(seen, at + done)) {
            }
        }
    };
    std::vector<std::thread> others;
    try {
        for (size_t t = 1; t < threads; ++t) others.emplace_back(run, t);
    } catch (const std::system_error&) {
        // No more threads to be had: those running, this one included, take every chunk.
    }
    run(0);
    for (std::thread& t : others) t.join();
    return firstFailure.load();
}

bool CrsTransform::transformBox(const double min[3], const double max[3], double outMin[3],
                                double outMax[3]) {
    // Points along each edge of the box: a projection bends its sides.
    constexpr int kEdgeSamples = 9;
    bool any = false;
    for (int i = 0; i < kEdgeSamples; ++i)
        for (int j = 0; j < kEdgeSamples; ++j)
            for (int k = 0; k < 2; ++k) {
                double p[3] = {min[0] + (max[0] - min[0]) * i / (kEdgeSamples - 1),
                               min[1] + (max[1] - min[1]) * j / (kEdgeSamples - 1),
                               k ? max[2] : min[2]};
                // Corners PROJ cannot move (beyond a projection's reach) just bound nothing.
                if (transform(&p[0], &p[1], &p[2], 1) != 1) continue;
                for (int a = 0; a < 3; ++a) {
                    outMin[a] = any ? std::min(outMin[a], p[a]) : p[a];
                    outMax[a] = any ? std::max(outMax[a], p[a]) : p[a];
                }
                any = true;
            }
    return any;
}

}  // namespace orv
