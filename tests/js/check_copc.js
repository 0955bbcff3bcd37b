// Opens a COPC file with the copc package (chunks decoded by laz-perf) and checks it as a reader
// that is not ours sees it: the info VLR first after the header, every node's chunk decodes to
// its stated count, every point inside its node's cube, counts and GPS time range consistent.
// Prints a JSON summary; with --points also every point's stored X, Y, Z, GPS time (3 decimals),
// intensity, return number, number of returns, classification, point source ID, user data and
// the colours the format has, sorted, for a multiset comparison.
// usage: node check_copc.js FILE [--points]
'use strict';
const fs = require('fs');
const { Copc } = require('copc');

async function main() {
  const path = process.argv[2];
  const withPoints = process.argv.includes('--points');
  const raw = fs.readFileSync(path);
  const errors = [];
  const copc = await Copc.create(path);
  const { header, info } = copc;
  if (raw.toString('latin1', 375 + 2, 375 + 6) !== 'copc' || raw.readUInt16LE(375 + 18) !== 1)
    errors.push('the info VLR is not right after the 375-byte header');
  // Every page, from the root.
  const nodes = {};
  const pages = [info.rootHierarchyPage];
  while (pages.length) {
    const page = await Copc.loadHierarchyPage(path, pages.pop());
    Object.assign(nodes, page.nodes);
    pages.push(...Object.values(page.pages));
  }
  const [cx0, cy0, cz0, cx1, cy1, cz1] = info.cube;
  const edge = cx1 - cx0;
  const eps = edge * 1e-9;
  let total = 0, gpsMin = Infinity, gpsMax = -Infinity;
  const levels = {};
  const points = [];
  for (const [key, node] of Object.entries(nodes)) {
    const [d, x, y, z] = key.split('-').map(Number);
    levels[d] = (levels[d] || 0) + node.pointCount;
    total += node.pointCount;
    if (node.pointCount === 0) continue;
    const view = await Copc.loadPointDataView(path, copc, node);
    if (view.pointCount !== node.pointCount) errors.push(`node ${key} decodes ${view.pointCount} points`);
    const size = edge / 2 ** d;
    const lo = [cx0 + x * size, cy0 + y * size, cz0 + z * size];
    const get = ['X', 'Y', 'Z', 'GpsTime'].map((n) => view.getter(n));
    const has = (n) => view.dimensions[n] !== undefined;
    const extra = ['Intensity', 'ReturnNumber', 'NumberOfReturns', 'Classification', 'PointSourceId',
      'UserData', 'Red', 'Green', 'Blue', 'Infrared'].filter(has).map((n) => view.getter(n));
    let outside = 0;
    for (let i = 0; i < view.pointCount; ++i) {
      const p = [get[0](i), get[1](i), get[2](i)];
      for (let a = 0; a < 3; ++a) if (p[a] < lo[a] - eps || p[a] > lo[a] + size + eps) outside++;
      const t = get[3](i);
      gpsMin = Math.min(gpsMin, t);
      gpsMax = Math.max(gpsMax, t);
      if (withPoints) {
        const s = header.scale, o = header.offset;
        points.push([0, 1, 2].map((a) => Math.round((p[a] - o[a]) / s[a]))
          .concat([t.toFixed(3)], extra.map((g) => g(i))).join(' '));
      }
    }
    if (outside) errors.push(`node ${key}: ${outside} coordinates outside its cube`);
  }
  if (total !== header.pointCount) errors.push(`nodes hold ${total} points, header ${header.pointCount}`);
  if (total > 0 && (gpsMin !== info.gpsTimeRange[0] || gpsMax !== info.gpsTimeRange[1]))
    errors.push(`GPS time range ${info.gpsTimeRange} but points span ${gpsMin},${gpsMax}`);
  const [hx0, hy0, hz0] = header.min, [hx1, hy1, hz1] = header.max;
  if (hx0 < cx0 || hy0 < cy0 || hz0 < cz0 || hx1 > cx1 || hy1 > cy1 || hz1 > cz1)
    errors.push('the header bounds reach outside the root cube');
  if (!(info.spacing > 0)) errors.push('spacing is not positive');
  if (![6, 7, 8].includes(header.pointDataRecordFormat)) errors.push('point format not 6-8');
  points.sort();
  process.stdout.write(JSON.stringify({
    pointCount: header.pointCount, total, nodes: Object.keys(nodes).length, levels,
    spacing: info.spacing, wkt: copc.wkt ?? null, errors, ...(withPoints ? { points } : {}),
  }));
}
main().catch((e) => { process.stdout.write(JSON.stringify({ errors: [String(e && e.stack || e)] })); });
