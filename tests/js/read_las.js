// Reads a LAS file with the copc package's Las module and prints its header and every point as
// JSON: the independent reader the test suite compares the library's files with.
// usage: node read_las.js FILE
'use strict';
const fs = require('fs');
const { Las } = require('copc');

const file = fs.readFileSync(process.argv[2]);
// The package reads only versions 1.2 and 1.4 and wants at least 375 header bytes: hand it a
// padded copy of the header that claims 1.2. Every field it reads from a 1.2 header sits where
// it sits in 1.0 and 1.1.
const headerBytes = new Uint8Array(Math.max(375, 227));
headerBytes.set(file.subarray(0, Math.min(file.length, 227)));
headerBytes[25] = 2;
const header = Las.Header.parse(headerBytes);

const length = header.pointDataRecordLength;
const start = header.pointDataOffset;
const whole = Math.floor(Math.max(0, file.length - start) / length);
const count = Math.min(header.pointCount, whole);
const points = new Uint8Array(count * length);
points.set(file.subarray(start, start + count * length));
const view = Las.View.create(points, header);

const get = (name) => view.getter(name);
const dims = ['X', 'Y', 'Z', 'Intensity', 'ReturnNumber', 'Classification', 'Overlap',
  'Synthetic', 'KeyPoint', 'Withheld', 'PointSourceId'].map(get);
const out = [];
for (let i = 0; i < view.pointCount; ++i) {
  const [x, y, z, intensity, ret, cls, overlap, synthetic, keyPoint, withheld, source] =
    dims.map((g) => g(i));
  // The package reports class 12 as 0 with its overlap flag, and the top three bits apart.
  const classification = (overlap ? 12 : cls) | (synthetic << 5) | (keyPoint << 6) | (withheld << 7);
  out.push([x, y, z, intensity, ret, classification, source]);
}
process.stdout.write(JSON.stringify({
  systemIdentifier: header.systemIdentifier,
  generatingSoftware: header.generatingSoftware,
  pointCount: header.pointCount,
  pointCountByReturn: header.pointCountByReturn,
  scale: header.scale,
  offset: header.offset,
  min: header.min,
  max: header.max,
  points: out,
}));
