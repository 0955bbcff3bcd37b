// The page of `orvter view`: walks the COPC octree, loads the nodes inside the view (more depth
// nearer the eye) by byte ranges of /cloud.copc.laz, and draws them as points.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { Copc, Info, Las } from 'copc';
import { createLazPerf } from 'laz-perf';

const URL_PATH = 'cloud.copc.laz';
const REFINE_PIXELS = 220;   // a node this many pixels across on screen shows its children
const MAX_POINTS = 4000000;  // points kept loaded at once, for the GPU's memory
const FETCHES = 4;           // nodes loading at once

// What the page has done, for people and for tests.
// firstPointsMs: from the start of navigation to the first frame drawn with points in it.
const status = {
  ready: false, points: 0, nodes: [], requests: [], errors: [], firstPointsMs: null,
  camera: null, origin: null,
};
window.__orvView = status;

function fail(error) {
  const text = String(error && error.message ? error.message : error);
  status.errors.push(text);
  document.getElementById('status').textContent = 'error: ' + text;
  console.error(error);
}
window.addEventListener('error', (e) => fail(e.error || e.message));
window.addEventListener('unhandledrejection', (e) => fail(e.reason));

// Every read of the file goes through here, so the requests can be counted. Each names the
// version (ETag) the first answer came from: a file changed since answers whole, not mixed in.
let version = null;
async function getter(begin, end) {
  status.requests.push([begin, end]);
  const headers = { Range: `bytes=${begin}-${end - 1}` };
  if (version) headers['If-Range'] = version;
  const response = await fetch(URL_PATH, { headers });
  if (response.status === 200 && version) throw new Error('the file changed on disk: reload the page');
  if (response.status !== 206) throw new Error(`bytes ${begin}-${end - 1}: HTTP ${response.status}`);
  version = version || response.headers.get('ETag');
  return new Uint8Array(await response.arrayBuffer());
}

// The ramp of `orvter las render`: dark blue through green and yellow to red-brown.
const RAMP = [[48, 18, 120], [40, 110, 190], [30, 170, 150], [120, 200, 70], [240, 210, 50],
  [230, 120, 40], [150, 40, 30]];
function ramp(t, out, at) {
  const x = Math.min(1, Math.max(0, Number.isFinite(t) ? t : 0)) * (RAMP.length - 1);
  const i = Math.min(RAMP.length - 2, Math.floor(x));
  const f = x - i;
  for (let k = 0; k < 3; ++k) out[at + k] = (RAMP[i][k] + (RAMP[i + 1][k] - RAMP[i][k]) * f) / 255;
}
const CLASSES = {
  0: [170, 170, 170], 1: [120, 120, 120], 2: [160, 110, 60], 3: [170, 220, 120], 4: [80, 180, 60],
  5: [20, 110, 30], 6: [220, 60, 50], 7: [250, 0, 250], 9: [40, 100, 230], 11: [60, 60, 60],
  17: [140, 140, 200], 18: [255, 0, 120],
};
const NAMES = {
  0: 'never classified', 1: 'unclassified', 2: 'ground', 3: 'low vegetation',
  4: 'medium vegetation', 5: 'high vegetation', 6: 'building', 7: 'low point (noise)',
  9: 'water', 11: 'road surface', 17: 'bridge deck', 18: 'high noise',
};

const container = document.getElementById('scene');
const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(container.clientWidth, container.clientHeight);
renderer.setClearColor(0x15171c);
container.appendChild(renderer.domElement);
const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(55, container.clientWidth / container.clientHeight, 0.1, 1e7);
camera.up.set(0, 0, 1);
const controls = new OrbitControls(camera, renderer.domElement);
controls.screenSpacePanning = true;
const material = new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true });

let copc, lazPerf, cube, origin, zRange, rgbShift = 0, intensityMax = 1;
const hierarchy = { nodes: {}, pages: {} };
const loaded = new Map();  // key -> { object, count, z, cls, intensity, rgb }
const loading = new Set();
let wanted = new Set();
let dirty = true;
let colourBy = 'elevation';

function boundsOf(key) {
  const [d, x, y, z] = key.split('-').map(Number);
  const size = (cube[3] - cube[0]) / 2 ** d;
  const min = new THREE.Vector3(cube[0] + x * size - origin.x, cube[1] + y * size - origin.y,
    cube[2] + z * size - origin.z);
  return new THREE.Box3(min, min.clone().addScalar(size));
}

function childrenOf(key) {
  const [d, x, y, z] = key.split('-').map(Number);
  const out = [];
  for (let i = 0; i < 8; ++i)
    out.push(`${d + 1}-${2 * x + (i & 1)}-${2 * y + ((i >> 1) & 1)}-${2 * z + ((i >> 2) & 1)}`);
  return out;
}

async function loadPage(key) {
  const page = hierarchy.pages[key];
  delete hierarchy.pages[key];
  const sub = await Copc.loadHierarchyPage(getter, page);
  Object.assign(hierarchy.nodes, sub.nodes);
  Object.assign(hierarchy.pages, sub.pages);
  dirty = true;
}

// The nodes the view needs: inside the frustum, refined while they look large on screen.
function select() {
  camera.updateMatrixWorld();
  const frustum = new THREE.Frustum().setFromProjectionMatrix(
    new THREE.Matrix4().multiplyMatrices(camera.projectionMatrix, camera.matrixWorldInverse));
  const pixelsPerUnit = container.clientHeight / (2 * Math.tan(THREE.MathUtils.degToRad(camera.fov) / 2));
  const next = new Set();
  let budget = MAX_POINTS;
  const queue = ['0-0-0-0'];
  while (queue.length) {
    const key = queue.shift();
    const node = hierarchy.nodes[key];
    if (!node) {
      if (hierarchy.pages[key]) loadPage(key).catch(fail);
      continue;
    }
    const box = boundsOf(key);
    if (!frustum.intersectsBox(box)) continue;
    if (node.pointCount > budget) continue;
    budget -= node.pointCount;
    next.add(key);
    const size = box.max.x - box.min.x;
    const distance = Math.max(box.distanceToPoint(camera.position), 1e-6);
    if (size * pixelsPerUnit / distance > REFINE_PIXELS) queue.push(...childrenOf(key));
  }
  wanted = next;
  for (const [key, entry] of loaded) entry.object.visible = wanted.has(key);
  const missing = [...wanted].filter((k) => !loaded.has(k) && !loading.has(k) &&
    hierarchy.nodes[k].pointCount > 0);
  pump(missing);
  updateStatus();
}

function pump(missing) {
  // The first node (the root, coarsest, first in the list) loads alone: the quickest first
  // picture, with no other node's decoding before it.
  const limit = loaded.size ? FETCHES : 1;
  while (loading.size < limit && missing.length) {
    const key = missing.shift();
    loading.add(key);
    loadNode(key).catch(fail).finally(() => {
      loading.delete(key);
      dirty = true;
    });
  }
}

async function loadNode(key) {
  const node = hierarchy.nodes[key];
  const view = await Copc.loadPointDataView(getter, copc, node, { lazPerf });
  const n = view.pointCount;
  const get = (name) => (view.dimensions[name] ? view.getter(name) : null);
  const gx = get('X'), gy = get('Y'), gz = get('Z');
  const gc = get('Classification'), gi = get('Intensity');
  const gr = get('Red'), gg = get('Green'), gb = get('Blue');
  const position = new Float32Array(n * 3);
  const entry = {
    count: n, z: new Float64Array(n), cls: new Uint8Array(n), intensity: new Uint16Array(n),
    rgb: gr ? new Uint16Array(n * 3) : null, xy: new Float64Array(n * 2),
  };
  for (let i = 0; i < n; ++i) {
    const x = gx(i), y = gy(i), z = gz(i);
    position[i * 3] = x - origin.x;
    position[i * 3 + 1] = y - origin.y;
    position[i * 3 + 2] = z - origin.z;
    entry.xy[i * 2] = x;
    entry.xy[i * 2 + 1] = y;
    entry.z[i] = z;
    if (gc) entry.cls[i] = gc(i);
    if (gi) entry.intensity[i] = gi(i);
    if (gr) {
      entry.rgb[i * 3] = gr(i);
      entry.rgb[i * 3 + 1] = gg(i);
      entry.rgb[i * 3 + 2] = gb(i);
      if (entry.rgb[i * 3] > 255 || entry.rgb[i * 3 + 1] > 255 || entry.rgb[i * 3 + 2] > 255)
        rgbShift = 8;
    }
    if (gi && entry.intensity[i] > intensityMax) intensityMax = entry.intensity[i];
  }
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute('position', new THREE.BufferAttribute(position, 3));
  geometry.setAttribute('color', new THREE.BufferAttribute(new Float32Array(n * 3), 3));
  entry.object = new THREE.Points(geometry, material);
  entry.object.userData.key = key;
  entry.object.visible = wanted.has(key);
  colour(entry);
  scene.add(entry.object);
  loaded.set(key, entry);
  status.nodes.push(key);
}

function colour(entry) {
  const c = entry.object.geometry.getAttribute('color');
  const out = c.array;
  const span = zRange[1] > zRange[0] ? zRange[1] - zRange[0] : 1;
  for (let i = 0; i < entry.count; ++i) {
    const at = i * 3;
    if (colourBy === 'elevation') ramp((entry.z[i] - zRange[0]) / span, out, at);
    else if (colourBy === 'intensity') out[at] = out[at + 1] = out[at + 2] = Math.min(1, entry.intensity[i] / intensityMax);
    else if (colourBy === 'rgb' && entry.rgb) {
      const scale = rgbShift ? 65535 : 255;
      for (let k = 0; k < 3; ++k) out[at + k] = entry.rgb[at + k] / scale;
    } else if (colourBy === 'class' || colourBy === 'rgb') {
      const rgb = CLASSES[entry.cls[i]] || [0, 200, 200];
      for (let k = 0; k < 3; ++k) out[at + k] = rgb[k] / 255;
    }
  }
  c.needsUpdate = true;
}

function updateStatus() {
  let points = 0;
  for (const entry of loaded.values()) if (entry.object.visible) points += entry.count;
  status.points = points;
  status.camera = {
    position: camera.position.toArray(),
    projectionView: new THREE.Matrix4()
      .multiplyMatrices(camera.projectionMatrix, camera.matrixWorldInverse).toArray(),
  };
  status.ready = loading.size === 0 && Object.keys(hierarchy.pages).length === 0 &&
    [...wanted].every((k) => loaded.has(k) || hierarchy.nodes[k].pointCount === 0);
  if (!status.errors.length)
    document.getElementById('status').textContent =
      `${points.toLocaleString()} points in ${[...wanted].length} nodes, ${status.requests.length} requests` +
      (status.ready ? '' : ', loading');
}

// The point under the cursor: the nearest of those the ray passes within a few pixels of.
const raycaster = new THREE.Raycaster();
const pointer = new THREE.Vector2();
renderer.domElement.addEventListener('pointermove', (e) => {
  if (!copc) return;
  pointer.set((e.offsetX / container.clientWidth) * 2 - 1, -(e.offsetY / container.clientHeight) * 2 + 1);
  raycaster.setFromCamera(pointer, camera);
  const distance = camera.position.distanceTo(controls.target);
  raycaster.params.Points.threshold = 4 * distance / (container.clientHeight / (2 * Math.tan(THREE.MathUtils.degToRad(camera.fov) / 2)));
  const hits = raycaster.intersectObjects([...loaded.values()].filter((e) => e.object.visible).map((e) => e.object));
  const readout = document.getElementById('readout');
  if (!hits.length) { readout.textContent = 'move over a point'; return; }
  const hit = hits[0];
  const entry = loaded.get(hit.object.userData.key);
  const i = hit.index;
  const cls = entry.cls[i];
  readout.textContent = `x ${entry.xy[i * 2].toFixed(3)}\ny ${entry.xy[i * 2 + 1].toFixed(3)}\n` +
    `z ${entry.z[i].toFixed(3)}\nclass ${cls} ${NAMES[cls] || ''}  intensity ${entry.intensity[i]}`;
});

document.getElementById('colour').addEventListener('change', (e) => {
  colourBy = e.target.value;
  for (const entry of loaded.values()) colour(entry);
});
document.getElementById('size').addEventListener('input', (e) => { material.size = Number(e.target.value); });
window.addEventListener('resize', () => {
  camera.aspect = container.clientWidth / container.clientHeight;
  camera.updateProjectionMatrix();
  renderer.setSize(container.clientWidth, container.clientHeight);
  dirty = true;
});
controls.addEventListener('change', () => { dirty = true; });

// The first view: the whole cube from the south, or `#look=fx,fy,fz,d` (the target as fractions
// of the cube, the distance in cube sizes).
function placeCamera() {
  const size = cube[3] - cube[0];
  let f = [0.5, 0.5, 0.5], d = 1.4;
  const look = /look=([-\d.]+),([-\d.]+),([-\d.]+),([-\d.]+)/.exec(location.hash);
  if (look) { f = look.slice(1, 4).map(Number); d = Number(look[4]); }
  const target = new THREE.Vector3(f[0] * size, f[1] * size, f[2] * (cube[5] - cube[2]))
    .add(new THREE.Vector3(cube[0], cube[1], cube[2])).sub(origin);
  controls.target.copy(target);
  camera.position.copy(target).add(new THREE.Vector3(0, -0.75, 0.65).multiplyScalar(d * size));
  camera.near = size / 1e4;
  camera.far = size * 20;
  camera.updateProjectionMatrix();
  controls.update();
}

let lastSelect = 0;
function frame(now) {
  requestAnimationFrame(frame);
  controls.update();
  if (copc && dirty && now - lastSelect > 100) {
    dirty = false;
    lastSelect = now;
    select();
  }
  renderer.render(scene, camera);
  if (status.firstPointsMs === null && scene.children.some((o) => o.visible))
    status.firstPointsMs = performance.now();
}

// The header and VLRs in two reads (the reader's own opening reads a fixed 64 KiB, which on a
// small file is every node), then the EVLR headers where they are.
async function openCopc() {
  const header = Las.Header.parse(await getter(0, Las.Constants.minHeaderLength));
  const head = await getter(0, Math.max(header.headerLength, header.pointDataOffset));
  const get = async (begin, end) => (end <= head.length ? head.slice(begin, end) : getter(begin, end));
  const vlrs = await Las.Vlr.walk(get, header);
  const infoVlr = Las.Vlr.find(vlrs, 'copc', 1);
  if (!infoVlr) throw new Error('not a COPC file: no copc info VLR');
  const info = Info.parse(await Las.Vlr.fetch(get, infoVlr));
  const ebVlr = Las.Vlr.find(vlrs, 'LASF_Spec', 4);
  const eb = ebVlr ? Las.ExtraBytes.parse(await Las.Vlr.fetch(get, ebVlr)) : [];
  return { header, vlrs, info, eb };
}

async function start() {
  // The decoder compiles while the header and the hierarchy arrive.
  const decoder = createLazPerf({ locateFile: () => 'laz-perf.wasm' });
  const opened = await openCopc();
  const header = opened.header;
  cube = opened.info.cube;
  origin = new THREE.Vector3((cube[0] + cube[3]) / 2, (cube[1] + cube[4]) / 2, (cube[2] + cube[5]) / 2);
  status.origin = origin.toArray();
  zRange = [header.min[2], header.max[2]];
  if (!header.pointDataRecordFormat || ![2, 3, 5, 7, 8, 10].includes(header.pointDataRecordFormat))
    document.querySelector('#colour option[value=rgb]').disabled = true;
  document.getElementById('title').textContent = `${header.pointCount.toLocaleString()} points`;
  const root = await Copc.loadHierarchyPage(getter, opened.info.rootHierarchyPage);
  Object.assign(hierarchy.nodes, root.nodes);
  Object.assign(hierarchy.pages, root.pages);
  lazPerf = await decoder;
  copc = opened;  // from here on, frames choose nodes
  placeCamera();
  dirty = true;
}

requestAnimationFrame(frame);
start().catch(fail);
