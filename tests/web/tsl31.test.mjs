// vesk-host between an older mixer that speaks TSL UMD 3.1 and displays of
// both versions. No npm package speaks 3.1 here, so the mixer and the 3.1
// displays use the small codec below, written from the public description
// of the protocol and apart from the host's; the 5.0 lamps are the npm
// package tsl-umd-v5 (in tsl_peer.cjs). All traffic stays on 127.0.0.1;
// every wait is bounded.
import assert from 'node:assert/strict';
import dgram from 'node:dgram';
import {fork} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {call, repo, startHost} from './serve.mjs';
import {freePort, peerScript, receiver as display} from './tsl_support.mjs';

// ---- TSL UMD 3.1, from its public description --------------------------------
// A message is 18 bytes: 0x80 + address (0-126), a control byte (bits 0-3
// tallies 1-4, bits 4-5 brightness, bits 6-7 zero), 16 bytes of printable
// ASCII. A datagram carries one or more messages; on TCP they follow each other.
const SIZE = 18;

function encode31({address, tallies = [], brightness = 3, text = ''}) {
  const bytes = Buffer.alloc(SIZE, 0x20);
  bytes[0] = 0x80 + address;
  bytes[1] = tallies.reduce((control, on, i) => control | (on ? 1 << i : 0), 0) | (brightness << 4);
  bytes.write(text.slice(0, 16), 2, 'latin1');
  return bytes;
}

function decode31(bytes) {
  assert.ok(bytes.length > 0 && bytes.length % SIZE === 0, `a datagram of ${bytes.length} bytes`);
  const messages = [];
  for (let at = 0; at < bytes.length; at += SIZE) {
    const header = bytes[at];
    const control = bytes[at + 1];
    assert.ok(header >= 0x80 && header <= 0x80 + 126, `header byte ${header}`);
    assert.equal(control & 0xc0, 0, `control byte ${control}`);
    const text = bytes.toString('latin1', at + 2, at + SIZE);
    assert.match(text, /^[\x20-\x7e]{16}$/);
    messages.push({address: header - 0x80, tallies: [0, 1, 2, 3].map((i) => (control >> i) & 1),
                   brightness: (control >> 4) & 3, text});
  }
  return messages;
}

// ------------------------------------------------------------------------------

// The cameras of examples/tsl_mixed.ini; the mixer on 3.1 over UDP and TCP,
// displays on 3.1 over UDP and TCP, lamps on 5.0 over UDP.
function facility(ports) {
  const example = readFileSync(path.join(repo, 'examples/tsl_mixed.ini'), 'utf8');
  const cameras = example.slice(example.indexOf('[instances.cam1]'), example.indexOf('[tsl_in.mixer]'));
  const components = example.slice(example.indexOf('[component.cam1]'));
  const labels = [1, 2, 3, 4].map((n) => `label.${19 + n} = CAM ${n}`).join('\n');
  const out = (name, version, protocol, port, extra = '') =>
    `[tsl_out.${name}]\nversion = ${version}\ndevice = 12\nprotocol = ${protocol}\nport = ${port}\noffset = -19\n${extra}${labels}\n`;
  return `${cameras}
[tsl_in.mixer]
version = 3.1
port = 0
gpi = 3

[tsl_in.mixertcp]
version = 3.1
protocol = tcp
port = 0
gpi = 3

${out('umds', '3.1', 'udp', ports.umds)}
${out('umdstcp', '3.1', 'tcp', ports.umdsTcp)}
${out('lamps', '5.0', 'udp', ports.lamps, 'batch = off\n')}
${components}`;
}

let host, folder, peer, umds, umdsTcp, lamps, lampsTcpUnused, umdsSocket, umdsServer, ports;

before(async () => {
  ports = {umds: await freePort('udp'), umdsTcp: await freePort('tcp'), lamps: await freePort('udp'),
           lampsTcp: await freePort('tcp')};
  umds = display();
  umdsTcp = display();
  lamps = display();
  lampsTcpUnused = display();
  umdsSocket = dgram.createSocket('udp4');
  umdsSocket.on('message', (bytes) => umds.take(decode31(bytes), bytes));
  await new Promise((resolve) => umdsSocket.bind(ports.umds, '127.0.0.1', resolve));
  umdsServer = net.createServer((socket) => {
    let pending = Buffer.alloc(0);
    socket.on('data', (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      const whole = pending.length - (pending.length % SIZE);
      if (whole === 0) return;
      umdsTcp.take(decode31(pending.subarray(0, whole)));
      pending = pending.subarray(whole);
    });
    socket.on('error', () => {});
  });
  await new Promise((resolve) => umdsServer.listen(ports.umdsTcp, '127.0.0.1', resolve));
  peer = fork(peerScript, [String(ports.lamps), String(ports.lampsTcp)],
              {stdio: ['ignore', 'inherit', 'inherit', 'ipc']});
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('tsl_peer.cjs did not start')), 10000);
    peer.on('message', (event) => {
      if (event.ready) {
        clearTimeout(timer);
        resolve();
      }
      if (event.lamp) (event.lamp === 'udp' ? lamps : lampsTcpUnused).take([event.message]);
    });
  });
  folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-tsl31-'));
  const ini = path.join(folder, 'tsl31.ini');
  writeFileSync(ini, facility(ports));
  host = await startHost({args: ['--config', ini]});
  const listening = async (name) => {
    const pattern = new RegExp(`tsl ${name}: listening on \\w+ 127\\.0\\.0\\.1:(\\d+)`);
    for (let tries = 0; tries < 250 && !pattern.test(host.output()); ++tries) {
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    return Number(pattern.exec(host.output())?.[1]);
  };
  ports.mixer = await listening('mixer');
  ports.mixerTcp = await listening('mixertcp');
  assert.ok(ports.mixer && ports.mixerTcp, host.output());
  // The start-up writes (every display dark) have gone out in each version.
  await umds.until((m) => m.address === 4, 'start-up of address 4');
  await umdsTcp.until((m) => m.address === 4, 'start-up of address 4 over TCP');
  await lamps.until((m) => m.index === 4 && m.display.rh_tally === 0, 'start-up of display 4');
});

after(async () => {
  peer?.kill();
  umdsSocket?.close();
  umdsServer?.close();
  const status = host ? await host.stop() : null;
  if (folder) rmSync(folder, {recursive: true, force: true});
  assert.equal(status?.code, 0, host?.output());
});

let tcpMixer;
async function sendMixer(viaTcp, bytes) {
  if (!viaTcp) {
    const socket = dgram.createSocket('udp4');
    await new Promise((resolve) => socket.send(bytes, ports.mixer, '127.0.0.1', resolve));
    socket.close();
    return;
  }
  if (!tcpMixer) {
    tcpMixer = net.connect(ports.mixerTcp, '127.0.0.1');
    await new Promise((resolve, reject) => {
      tcpMixer.once('connect', resolve);
      tcpMixer.once('error', reject);
    });
  }
  tcpMixer.write(bytes);
}

test('a 3.1 mixer cuts four cameras: 3.1 displays (UDP, TCP) and 5.0 lamps follow', async () => {
  let onAir = 0;
  for (const camera of [1, 2, 3, 4]) {
    const from = {umds: umds.received.length, tcp: umdsTcp.received.length, lamps: lamps.received.length};
    // The cut in one message each: the camera before goes dark in the same write.
    const messages = [encode31({address: camera, tallies: [1], text: `CAM ${camera}`})];
    if (onAir) messages.unshift(encode31({address: onAir, text: `CAM ${onAir}`}));
    await sendMixer(camera % 2 === 0, Buffer.concat(messages));
    for (const [each, start] of [[umds, from.umds], [umdsTcp, from.tcp]]) {
      const lit = await each.until((m) => each.received.indexOf(m) >= start && m.address === camera &&
                                   m.tallies[0] === 1, `camera ${camera} on tally 1`);
      assert.deepEqual(lit.tallies, [1, 0, 0, 0]);
      assert.equal(lit.brightness, 3);
      assert.equal(lit.text, `CAM ${camera}`.padEnd(16));
      if (onAir) {
        await each.until((m) => each.received.indexOf(m) >= start && m.address === onAir &&
                         m.tallies.every((t) => t === 0), `camera ${onAir} dark`);
      }
    }
    const red = await lamps.until((m) => lamps.received.indexOf(m) >= from.lamps && m.index === camera &&
                                  m.display.rh_tally === 1, `lamp ${camera} red`);
    assert.equal(red.display.lh_tally, 1);
    assert.equal(red.display.text, `CAM ${camera}`);
    if (onAir) {
      await lamps.until((m) => lamps.received.indexOf(m) >= from.lamps && m.index === onAir &&
                        m.display.rh_tally === 0, `lamp ${onAir} dark`);
    }
    onAir = camera;
  }
  // A cut changes two displays in one step: one datagram of two messages.
  const cut = umds.datagrams.at(-1);
  assert.equal(cut.length, 2 * SIZE);
  assert.deepEqual(decode31(cut).map((m) => [m.address, m.tallies[0]]), [[3, 0], [4, 1]]);
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  const byName = Object.fromEntries(state.bridges.map((bridge) => [bridge.name, bridge]));
  assert.equal(byName.mixer.version, '3.1');
  assert.equal(byName.umds.version, '3.1');
  assert.equal(byName.lamps.version, '5.0');
  assert.equal(byName.umdstcp.state, 'connected');
  assert.ok(byName.mixer.packets_in >= 2, JSON.stringify(byName.mixer));
});

test('a malformed 3.1 datagram changes nothing, is reported once per kind and counted', async () => {
  const before = (await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}}))
    .json.bridges.find((bridge) => bridge.name === 'mixer');
  const good = encode31({address: 1, tallies: [1]});
  const address127 = Buffer.from(good);
  address127[0] = 0xff;
  const controlBits = Buffer.from(good);
  controlBits[1] |= 0x40;
  for (const bytes of [good.subarray(0, 17), Buffer.concat([good, address127]), controlBits]) {
    await sendMixer(false, bytes);
    await sendMixer(false, bytes);
  }
  const deadline = Date.now() + 5000;
  while (!/control bits 6-7 set/.test(host.output()) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  for (const kind of ['length not a multiple of 18 bytes', 'a header byte naming address 127',
                      'control bits 6-7 set']) {
    assert.equal(host.output().split(`dropped a packet: ${kind}`).length - 1, 1, host.output());
  }
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  assert.equal(state.gpi.find((input) => input.device === 3 && input.input === 1).state, 0);
  const mixer = state.bridges.find((bridge) => bridge.name === 'mixer');
  assert.equal(mixer.packets_in, before.packets_in);
  assert.equal(mixer.dropped, before.dropped + 6);
  tcpMixer?.destroy();
});
