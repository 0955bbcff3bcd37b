// Reads a LAS file with the copc package's Las module and prints its header and every point as
// JSON: the independent reader the test suite compares the library's files with.
// usage: node read_las.js FILE
'use strict';
const fs = require('fs');
const { Las } = require('copc');

const file = fs.readFileSync(process.argv[2]);
// The package reads only versions 1.2 and 1.4 and wants at least 375 header bytes. A 1.4 file
// whose header holds the 1.4 fields is handed over as it is; any other gets a padded copy of its
// header that claims 1.2: every field the package reads from a 1.2 header sits where it sits in
// 1.0 and 1.1.
const full14 = file.length >= 375 && file[24] === 1 && file[25] === 4 && file.readUInt16LE(94) >= 375;
const headerBytes = new Uint8Array(375);
headerBytes.set(file.subarray(0, Math.min(file.length, full14 ? 375 : 227)));
if (!full14) headerBytes[25] = 2;
const parsed = Las.Header.parse(headerBytes);
// Formats 4, 5, 9 and 10 start with the fields of 1, 3, 6 and 8 and add wave packets after them,
// which the package does not know.
const sameStart = { 4: 1, 5: 3, 9: 6, 10: 8 };
const format = parsed.pointDataRecordFormat;
const header = { ...parsed, pointDataRecordFormat: sameStart[format] ?? format };

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
  // Formats 0 to 5: the package reports class 12 as 0 with its overlap flag, and the top three
  // bits apart. Formats 6 and above keep the class in a byte of its own.
  const classification = header.pointDataRecordFormat >= 6 ? cls
    : (overlap ? 12 : cls) | (synthetic << 5) | (keyPoint << 6) | (withheld << 7);
  out.push([x, y, z, intensity, ret, classification, source]);
}
process.stdout.write(JSON.stringify({
  version: `${file[24]}.${file[25]}`,
  pointDataRecordFormat: format,
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
