#!/usr/bin/env node
// Reads a merged LAS file and its inputs with loaders.gl's LAS reader, a
// reader written elsewhere, and checks that the output holds exactly the
// inputs' points in list order under a header that counts and bounds them.
//
//   node check_merge.mjs OUTPUT INPUT...
//
// Exit status 0 when every check holds, 1 with the first differences on
// standard error otherwise, 2 for a usage error.
import { readFileSync } from 'node:fs';
import { parse } from '@loaders.gl/core';
import { LASLoader } from '@loaders.gl/las';

const [output, ...inputs] = process.argv.slice(2);
if (!output || inputs.length === 0) {
  console.error('usage: node check_merge.mjs OUTPUT INPUT...');
  process.exit(2);
}

const problems = [];
function problem(text) {
  if (problems.length < 20) problems.push(text);
  else if (problems.length === 20) problems.push('(further differences not shown)');
}

// The reader's mesh keeps colour in 8 bits: colorDepth 8 stores the low byte
// (a Uint8Array keeps value mod 256), colorDepth 16 the high byte (value /
// 256, truncated). Two parses give the 16-bit channels back. Positions are
// read as doubles (fp64) so that nothing is rounded to float.
async function readWithReader(name) {
  const bytes = readFileSync(name);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  const options = (colorDepth) => ({ worker: false, las: { fp64: true, skip: 1, colorDepth } });
  const low = await parse(buffer.slice(0), LASLoader, options(8));
  const high = await parse(buffer.slice(0), LASLoader, options(16));
  const h = low.loaderData;
  const n = low.header.vertexCount;
  const cloud = {
    name,
    header: h,
    count: n,
    position: low.attributes.POSITION.value,
    intensity: low.attributes.intensity.value,
    classification: low.attributes.classification.value,
    colour: null,
    gpsTime: null,
  };
  if (low.attributes.COLOR_0) {
    const lo = low.attributes.COLOR_0.value;
    const hi = high.attributes.COLOR_0.value;
    cloud.colour = new Uint16Array(n * 3);
    for (let i = 0; i < n; ++i)
      for (let c = 0; c < 3; ++c) cloud.colour[i * 3 + c] = (hi[i * 4 + c] << 8) | lo[i * 4 + c];
  }
  // The reader does not decode the GPS time. It is taken from the 8 bytes at
  // byte 20 of each record, where the reader's own header decoding places
  // the records (pointsOffset, pointsStructSize).
  if (h.pointsFormatId === 1 || h.pointsFormatId === 3) {
    const view = new DataView(buffer);
    cloud.gpsTime = new Float64Array(n);
    for (let i = 0; i < n; ++i)
      cloud.gpsTime[i] = view.getFloat64(h.pointsOffset + i * h.pointsStructSize + 20, true);
  }
  return cloud;
}

const same = (a, b) => a === b || (Number.isNaN(a) && Number.isNaN(b));

let out;
const ins = [];
try {
  out = await readWithReader(output);
} catch (e) {
  console.error(`the reader refuses ${output}: ${e.message}`);
  process.exit(1);
}
for (const name of inputs) {
  try {
    ins.push(await readWithReader(name));
  } catch (e) {
    console.error(`the reader refuses the input ${name}: ${e.message}`);
    process.exit(1);
  }
}

// Header: count, format, record length, scales and offsets as the first
// input's; the box is the union of the boxes of the inputs that hold points.
const first = ins[0].header;
const expectedCount = ins.reduce((sum, c) => sum + c.header.pointsCount, 0);
if (out.header.pointsCount !== expectedCount)
  problem(`header point count ${out.header.pointsCount}, inputs hold ${expectedCount}`);
if (out.count !== expectedCount) problem(`the reader decoded ${out.count} points, inputs hold ${expectedCount}`);
if (out.header.pointsFormatId !== first.pointsFormatId) problem(`point format ${out.header.pointsFormatId}`);
if (out.header.pointsStructSize !== first.pointsStructSize) problem(`record length ${out.header.pointsStructSize}`);
for (let k = 0; k < 3; ++k) {
  if (!same(out.header.scale[k], first.scale[k])) problem(`scale[${k}] ${out.header.scale[k]}`);
  if (!same(out.header.offset[k], first.offset[k])) problem(`offset[${k}] ${out.header.offset[k]}`);
}
const withPoints = ins.filter((c) => c.header.pointsCount > 0);
const boxes = withPoints.length > 0 ? withPoints : [ins[0]];
for (let k = 0; k < 3; ++k) {
  const min = Math.min(...boxes.map((c) => c.header.mins[k]));
  const max = Math.max(...boxes.map((c) => c.header.maxs[k]));
  if (!same(out.header.mins[k], min)) problem(`header min[${k}] ${out.header.mins[k]}, inputs give ${min}`);
  if (!same(out.header.maxs[k], max)) problem(`header max[${k}] ${out.header.maxs[k]}, inputs give ${max}`);
}
if (out.header.hasColor !== first.hasColor) problem(`colour ${out.header.hasColor}`);

// Points: the inputs' points concatenated in list order.
let at = 0;
for (const input of ins) {
  for (let i = 0; i < input.count && at < out.count; ++i, ++at) {
    const where = `point ${at} (${input.name} #${i})`;
    for (let k = 0; k < 3; ++k)
      if (!same(out.position[at * 3 + k], input.position[i * 3 + k]))
        problem(`${where}: ${'XYZ'[k]} ${out.position[at * 3 + k]} != ${input.position[i * 3 + k]}`);
    if (out.intensity[at] !== input.intensity[i])
      problem(`${where}: intensity ${out.intensity[at]} != ${input.intensity[i]}`);
    if (out.classification[at] !== input.classification[i])
      problem(`${where}: classification ${out.classification[at]} != ${input.classification[i]}`);
    if (input.gpsTime && !same(out.gpsTime[at], input.gpsTime[i]))
      problem(`${where}: GPS time ${out.gpsTime[at]} != ${input.gpsTime[i]}`);
    if (input.colour)
      for (let c = 0; c < 3; ++c)
        if (out.colour[at * 3 + c] !== input.colour[i * 3 + c])
          problem(`${where}: ${'RGB'[c]} ${out.colour[at * 3 + c]} != ${input.colour[i * 3 + c]}`);
  }
}

if (problems.length > 0) {
  console.error(`${output} differs from its ${inputs.length} inputs:\n  ${problems.join('\n  ')}`);
  process.exit(1);
}
const kinds = ['XYZ', 'intensity', 'classification'];
if (out.gpsTime) kinds.push('GPS time');
if (out.colour) kinds.push('RGB');
console.log(`ok ${output}: LAS ${versionOf(output)} format ${out.header.pointsFormatId}, ` +
  `${out.count} points from ${inputs.length} inputs (${kinds.join(', ')})`);

function versionOf(name) {
  const b = readFileSync(name);
  return `${b[24]}.${b[25]}`;
}
