// The CRS value: PROJ parses whatever form a CRS comes in, and the value keeps the texts every
// caller needs (WKT1 for LAS, WKT2, PROJJSON) so it never holds PROJ objects across threads.
#include <cstdlib>
#include <cstring>

#include "OrvCrs.h"
#include "crs/ProjContext.h"
#include "proj_experimental.h"

namespace orv {

struct Crs::Data {
    std::string name, wkt1, wkt2, json;
    std::string definition;  // what recreates it: PROJJSON, else WKT2, else the given text
    int epsg = 0;
    std::string horizontal, vertical;  // PROJJSON of the parts; horizontal empty: the whole
    bool geographic = false;
    bool height = false;
    double horizontalUnit = 1.0, verticalUnit = 1.0;
};

namespace {

using crs::PjPtr;

std::string textOf(const char* s) {
    return s ? s : "";
}

// The CRS under a bound CRS (a PROJ string with +towgs84 makes one); the object itself otherwise.
PjPtr unbound(PJ_CONTEXT* ctx, const PJ* pj) {
    if (proj_get_type(pj) == PJ_TYPE_BOUND_CRS) return PjPtr(proj_get_source_crs(ctx, pj));
    return PjPtr(proj_clone(ctx, pj));
}

// An EPSG code of the object's own identifier, or one PROJ is sure of. A bound CRS (WKT1 with
// TOWGS84) has the code of the CRS it binds.
int epsgOf(PJ_CONTEXT* ctx, const PJ* object) {
    PjPtr pj = unbound(ctx, object);
    if (!pj) return 0;
    const char* auth = proj_get_id_auth_name(pj.get(), 0);
    if (auth && std::strcmp(auth, "EPSG") == 0) return std::atoi(proj_get_id_code(pj.get(), 0));
    int* confidence = nullptr;
    PJ_OBJ_LIST* found = proj_identify(ctx, pj.get(), "EPSG", nullptr, &confidence);
    int code = 0;
    // A candidate counts when PROJ is sure, or when it is the same system under another name (a
    // PROJ string has none).
    if (found && proj_list_get_count(found) > 0) {
        PjPtr best(proj_list_get(ctx, found, 0));
        const char* c = best ? proj_get_id_code(best.get(), 0) : nullptr;
        if (c && (confidence[0] == 100 ||
                  proj_is_equivalent_to_with_ctx(ctx, best.get(), pj.get(),
                                                 PJ_COMP_EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS)))
            code = std::atoi(c);
    }
    proj_int_list_destroy(confidence);
    proj_list_destroy(found);
    return code;
}

// The conversion factor of one axis of a CRS to metres (or radians), 1 when unknown.
double axisFactor(PJ_CONTEXT* ctx, const PJ* crsObject, int axis) {
    PjPtr base = unbound(ctx, crsObject);
    if (!base) return 1.0;
    PjPtr cs(proj_crs_get_coordinate_system(ctx, base.get()));
    double factor = 1.0;
    if (!cs || axis >= proj_cs_get_axis_count(ctx, cs.get()) ||
        !proj_cs_get_axis_info(ctx, cs.get(), axis, nullptr, nullptr, nullptr, &factor, nullptr,
                               nullptr, nullptr))
        return 1.0;
    return factor;
}

bool isGeographicType(PJ_TYPE t) {
    return t == PJ_TYPE_GEOGRAPHIC_2D_CRS || t == PJ_TYPE_GEOGRAPHIC_3D_CRS ||
           t == PJ_TYPE_GEOGRAPHIC_CRS;
}

constexpr double kEquatorialRadius = 6378137.0;

std::string jsonOf(PJ_CONTEXT* ctx, const PJ* pj) {
    const char* const options[] = {"MULTILINE=NO", nullptr};
    return textOf(proj_as_projjson(ctx, pj, options));
}

}  // namespace

Crs::Crs() = default;

Crs Crs::fromText(const std::string& text, std::string* error) {
    if (text.size() > kCrsTextLimit) {
        if (error)
            *error = "a CRS text of " + std::to_string(text.size()) + " bytes, more than the " +
                     std::to_string(kCrsTextLimit) + " taken";
        return Crs();
    }
    // A file's text may end in NULs or a newline.
    std::string definition = text;
    while (!definition.empty() && (definition.back() == '\0' || definition.back() == '\n' ||
                                   definition.back() == '\r' || definition.back() == ' '))
        definition.pop_back();
    PJ_CONTEXT* ctx = crs::threadContext();
    PjPtr pj = definition.empty() ? nullptr : crs::createCrs(ctx, definition);
    if (!pj) {
        if (error) {
            const std::string why = crs::lastMessage(ctx);
            *error = "not a coordinate reference system" + (why.empty() ? "" : ": " + why);
        }
        return Crs();
    }
    auto d = std::make_shared<Data>();
    d->name = textOf(proj_get_name(pj.get()));
    d->epsg = epsgOf(ctx, pj.get());
    const char* const wkt1Options[] = {"MULTILINE=NO",
                                       "ALLOW_ELLIPSOIDAL_HEIGHT_AS_VERTICAL_CRS=YES", nullptr};
    d->wkt1 = textOf(proj_as_wkt(ctx, pj.get(), PJ_WKT1_GDAL, wkt1Options));
    const char* const wkt2Options[] = {"MULTILINE=NO", nullptr};
    d->wkt2 = textOf(proj_as_wkt(ctx, pj.get(), PJ_WKT2_2019, wkt2Options));
    d->json = jsonOf(ctx, pj.get());
    d->definition = !d->json.empty() ? d->json : !d->wkt2.empty() ? d->wkt2 : definition;

    PjPtr base = unbound(ctx, pj.get());
    PjPtr horizontal, vertical;
    if (base && proj_get_type(base.get()) == PJ_TYPE_COMPOUND_CRS) {
        horizontal.reset(proj_crs_get_sub_crs(ctx, base.get(), 0));
        vertical.reset(proj_crs_get_sub_crs(ctx, base.get(), 1));
        if (horizontal) d->horizontal = jsonOf(ctx, horizontal.get());
        if (vertical) d->vertical = jsonOf(ctx, vertical.get());
    }
    const PJ* h = horizontal ? horizontal.get() : pj.get();
    PjPtr hBase = unbound(ctx, h);
    d->geographic = hBase && isGeographicType(proj_get_type(hBase.get()));
    d->horizontalUnit = axisFactor(ctx, h, 0) * (d->geographic ? kEquatorialRadius : 1.0);
    if (vertical)
        d->verticalUnit = axisFactor(ctx, vertical.get(), 0);
    else if (hBase && proj_get_type(hBase.get()) == PJ_TYPE_GEOGRAPHIC_3D_CRS)
        d->verticalUnit = axisFactor(ctx, h, 2);
    d->height = vertical || (hBase && proj_get_type(hBase.get()) == PJ_TYPE_GEOGRAPHIC_3D_CRS);
    Crs c;
    c.m_data = std::move(d);
    return c;
}

Crs Crs::fromEpsg(int code, std::string* error) {
    return fromText("EPSG:" + std::to_string(code), error);
}

bool Crs::empty() const {
    return !m_data;
}

const std::string& Crs::definition() const {
    static const std::string none;
    return m_data ? m_data->definition : none;
}

const std::string& Crs::name() const {
    static const std::string none;
    return m_data ? m_data->name : none;
}
int Crs::epsg() const {
    return m_data ? m_data->epsg : 0;
}
const std::string& Crs::wkt1() const {
    return m_data ? m_data->wkt1 : name();
}
const std::string& Crs::wkt2() const {
    return m_data ? m_data->wkt2 : name();
}
const std::string& Crs::projJson() const {
    return m_data ? m_data->json : name();
}

Crs Crs::horizontal() const {
    if (!m_data || m_data->horizontal.empty()) return *this;
    return fromText(m_data->horizontal);
}

Crs Crs::vertical() const {
    if (!m_data || m_data->vertical.empty()) return Crs();
    return fromText(m_data->vertical);
}

bool Crs::isGeographic() const {
    return m_data && m_data->geographic;
}
bool Crs::hasHeight() const {
    return m_data && m_data->height;
}
double Crs::horizontalUnit() const {
    return m_data ? m_data->horizontalUnit : 1.0;
}
double Crs::verticalUnit() const {
    return m_data ? m_data->verticalUnit : 1.0;
}

bool Crs::equivalentTo(const Crs& other) const {
    if (empty() || other.empty()) return empty() == other.empty();
    // The same text is the same system, even where PROJ cannot build it again.
    if (m_data == other.m_data || m_data->definition == other.m_data->definition) return true;
    PJ_CONTEXT* ctx = crs::threadContext();
    PjPtr a = crs::createCrs(ctx, m_data->definition);
    PjPtr b = crs::createCrs(ctx, other.m_data->definition);
    return a && b &&
           proj_is_equivalent_to_with_ctx(ctx, a.get(), b.get(),
                                          PJ_COMP_EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS);
}

Crs crsKeepingHeights(const Crs& from, const Crs& to) {
    if (from.empty() || to.empty() || to.hasHeight() || !from.hasHeight()) return to;
    PJ_CONTEXT* ctx = crs::threadContext();
    PjPtr target = crs::createCrs(ctx, to.definition());
    if (!target) return to;
    PjPtr joined;
    const Crs vertical = from.vertical();
    if (!vertical.empty()) {
        PjPtr v = crs::createCrs(ctx, vertical.definition());
        const std::string name = to.name() + " + " + vertical.name();
        if (v) joined.reset(proj_create_compound_crs(ctx, name.c_str(), target.get(), v.get()));
    } else {
        // Ellipsoidal heights (a 3D geographic CRS): the target in 3D states them.
        joined.reset(proj_crs_promote_to_3D(ctx, nullptr, target.get()));
    }
    if (!joined) return to;
    const Crs kept = Crs::fromText(jsonOf(ctx, joined.get()));
    return kept.empty() ? to : kept;
}

}  // namespace orv
