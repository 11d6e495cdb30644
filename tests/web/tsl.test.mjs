// vesk-host between a mixer and tally lamps over TSL UMD 5.0, checked by an
// independent implementation (the npm package tsl-umd-v5) on both sides.
// All traffic stays on 127.0.0.1; every wait is bounded.
import assert from 'node:assert/strict';
import dgram from 'node:dgram';
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {fork} from 'node:child_process';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';

import {call, repo, runHost, startHost} from './serve.mjs';
// tsl-umd-v5 runs in tsl_peer.cjs (peerScript): the mixer and both lamps.
import {freePort, peerScript, receiver as lamp} from './tsl_support.mjs';

// The four cameras of examples/tsl.ini with a mixer and lamps on both protocols.
function facility(lampUdp, lampTcp) {
  const example = readFileSync(path.join(repo, 'examples/tsl.ini'), 'utf8');
  const cameras = example.slice(example.indexOf('[instances.cam1]'), example.indexOf('[tsl_in.mixer]'));
  const components = example.slice(example.indexOf('[component.cam1]'));
  const lamps = (name, protocol, port) => `[tsl_out.${name}]
device = 12
protocol = ${protocol}
port = ${port}
offset = -19
batch = off
${[1, 2, 3, 4].map((n) => `label.${19 + n} = CAM ${n}`).join('\n')}
`;
  return `${cameras}
[tsl_in.mixer]
protocol = udp
port = 0
gpi = 3

[tsl_in.mixertcp]
protocol = tcp
port = 0
gpi = 3

${lamps('lamps', 'udp', lampUdp)}
${lamps('lampstcp', 'tcp', lampTcp)}
${components}`;
}

const tally = (index, level) => ({
  screen: 0, index,
  display: {rh_tally: level, text_tally: 0, lh_tally: 0, brightness: 3, text: `CAM ${index}`},
});

let host, folder, udpLamp, tcpLamp, peer, ports;

before(async () => {
  ports = {udp: await freePort('udp'), tcp: await freePort('tcp')};
  udpLamp = lamp();
  tcpLamp = lamp();
  peer = fork(peerScript, [String(ports.udp), String(ports.tcp)], {stdio: ['ignore', 'inherit', 'inherit', 'ipc']});
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('tsl_peer.cjs did not start')), 10000);
    peer.on('message', (event) => {
      if (event.ready) {
        clearTimeout(timer);
        resolve();
      }
      if (event.lamp) (event.lamp === 'udp' ? udpLamp : tcpLamp).take([event.message]);
    });
  });
  folder = mkdtempSync(path.join(os.tmpdir(), 'vesk-tsl-'));
  const ini = path.join(folder, 'tsl.ini');
  writeFileSync(ini, facility(ports.udp, ports.tcp));
  // Recorded, to be replayed at the end: what the mixer's packets did,
  // written once the packets handed over together have lit their lamps.
  host = await startHost({args: ['--config', ini, '--record', path.join(folder, 'cuts.vesk')]});
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
  // The start-up writes (every lamp dark) have gone out. The TCP lamp may
  // have read them in one piece, and tsl-umd-v5 decodes only the first
  // packet of a read, so from here on each step waits for its lamp message.
  await udpLamp.until((m) => m.index === 4 && m.display.rh_tally === 0, 'start-up of display 4');
  await tcpLamp.until((m) => m.index === 1, 'start-up over TCP');
  await new Promise((resolve) => setTimeout(resolve, 200));
});

after(async () => {
  peer?.kill();
  const status = host ? await host.stop() : null;
  if (folder) rmSync(folder, {recursive: true, force: true});
  if (host) assert.equal(status?.code, 0, host.output());
});

test('cuts through four cameras: mixer -> GPI -> Varnik -> tally slot -> lamp, UDP and TCP', async () => {
  let onAir = 0;
  for (const camera of [1, 2, 3, 4]) {
    const viaTcp = camera % 2 === 0;
    const send = (index, level) => peer.send({send: viaTcp ? 'tcp' : 'udp',
                                              port: viaTcp ? ports.mixerTcp : ports.mixer,
                                              tally: tally(index, level)});
    const seen = udpLamp.received.length;
    const seenTcp = tcpLamp.received.length;
    send(camera, 1);
    for (const [each, from] of [[udpLamp, seen], [tcpLamp, seenTcp]]) {
      const message = await each.until(
        (m) => each.received.indexOf(m) >= from && m.index === camera && m.display.rh_tally === 1,
        `camera ${camera} red`);
      assert.equal(message.screen, 0);
      assert.equal(message.display.lh_tally, 1);
      assert.equal(message.display.text_tally, 1);
      assert.equal(message.display.text, `CAM ${camera}`);
    }
    if (onAir) {
      const from = udpLamp.received.length;
      const fromTcp = tcpLamp.received.length;
      send(onAir, 0);
      for (const [each, start] of [[udpLamp, from], [tcpLamp, fromTcp]]) {
        await each.until((m) => each.received.indexOf(m) >= start && m.index === onAir &&
                          m.display.rh_tally === 0 && m.display.lh_tally === 0,
                         `camera ${onAir} dark`);
      }
    }
    onAir = camera;
  }
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  const byName = Object.fromEntries(state.bridges.map((bridge) => [bridge.name, bridge]));
  assert.deepEqual(Object.keys(byName).sort(), ['lamps', 'lampstcp', 'mixer', 'mixertcp']);
  assert.equal(byName.mixer.state, 'listening');
  assert.equal(byName.mixer.direction, 'in');
  assert.ok(byName.mixer.packets_in >= 2, JSON.stringify(byName.mixer));
  assert.equal(byName.lampstcp.state, 'connected');
  assert.ok(byName.lamps.packets_out >= 11, JSON.stringify(byName.lamps));
  assert.equal(byName.lamps.address, `127.0.0.1:${ports.udp}`);
});

const mixerState = async () => {
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  return state.bridges.find((bridge) => bridge.name === 'mixer');
};

test('a malformed datagram changes nothing, is reported once and counted as dropped, not in', async () => {
  const before = await mixerState();
  const socket = dgram.createSocket('udp4');
  const send = (bytes) => new Promise((resolve) => socket.send(Buffer.from(bytes), ports.mixer, '127.0.0.1', resolve));
  // Version 1, then a message running past the end; each twice.
  for (const bytes of [[10, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0], [10, 0, 0, 0, 0, 0, 1, 0, 1, 0, 9, 0]]) {
    await send(bytes);
    await send(bytes);
  }
  socket.close();
  const deadline = Date.now() + 5000;
  while (!/past the end/.test(host.output()) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.equal(host.output().match(/dropped a packet: unknown version/g)?.length, 1, host.output());
  assert.equal(host.output().match(/dropped a packet: a display message runs past the end/g)?.length, 1);
  const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
  assert.equal(state.gpi.find((input) => input.device === 3 && input.input === 1).state, 0);
  const mixer = await mixerState();
  assert.equal(mixer.packets_in, before.packets_in, JSON.stringify(mixer));
  assert.equal(mixer.dropped, before.dropped + 4, JSON.stringify(mixer));
});

test('a TCP mixer that stops halfway through a frame shows in the bridge state', async () => {
  const socket = net.connect(ports.mixerTcp, '127.0.0.1');
  await new Promise((resolve, reject) => {
    socket.once('connect', resolve);
    socket.once('error', reject);
  });
  socket.write(Buffer.from([0xfe, 0x02, 0x0a, 0x00, 0x00, 0x00]));
  const closed = new Promise((resolve) => socket.once('close', resolve));
  const deadline = Date.now() + 8000;
  let bridge;
  while (Date.now() < deadline) {
    const {json: state} = await call(host, 'GET', '/api/state', {headers: {Host: host.url.host}});
    bridge = state.bridges.find((each) => each.name === 'mixertcp');
    if (bridge.connections_closed >= 1) break;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  assert.equal(bridge.connections_closed, 1, JSON.stringify(bridge));
  assert.match(bridge.last_error, /left a frame unfinished for 2 s/);
  await closed;
  // The bridge's state changes before its line reaches this side of the host's output.
  const said = /tsl mixertcp: closed a mixer connection that left a frame unfinished/;
  for (const until = Date.now() + 5000; !said.test(host.output()) && Date.now() < until;) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.match(host.output(), said);
});

test('a mixer port another program holds ends the live run with status 2', async () => {
  const taken = dgram.createSocket('udp4');
  await new Promise((resolve) => taken.bind(0, '127.0.0.1', resolve));
  const ini = path.join(folder, 'taken.ini');
  writeFileSync(ini, `[tsl_in.mixer]\nport = ${taken.address().port}\ngpi = 3\n`);
  const run = runHost(['--serve', '0', '--config', ini]);
  taken.close();
  assert.equal(run.status, 2, run.stderr);
  assert.match(run.stderr, /tsl mixer: cannot listen on udp 127\.0\.0\.1:\d+/);
});

test('a host name or a section in the wrong case stops the load with status 2, naming the line', () => {
  for (const [text, error] of [
    ['[tsl_out.lamps]\ndevice = 12\nport = 9100\naddress = localhost\n',
     /bad\.ini:4: address must be an IP address such as 127\.0\.0\.1 .*"localhost" is not/],
    ['[gpi.3]\n1 = 0\n\n[TSL_IN.mixer]\nport = 0\ngpi = 3\n',
     /bad\.ini:4: \[TSL_IN\.mixer\] is not a TSL section: write \[tsl_in\.mixer\]/],
  ]) {
    const ini = path.join(folder, 'bad.ini');
    writeFileSync(ini, text);
    const run = runHost(['--serve', '0', '--config', ini]);
    assert.equal(run.status, 2, run.stderr);
    assert.match(run.stderr, error);
  }
});

test('the recorded cuts, a burst of packets among them, replay with every expectation met', async () => {
  // Eight cuts sent back to back reach the facility together (or nearly).
  const from = udpLamp.received.length;
  for (let n = 0; n < 8; ++n) {
    peer.send({send: 'udp', port: ports.mixer, tally: tally(1 + (n % 4), n < 4 ? 1 : 0)});
  }
  await udpLamp.until((m) => udpLamp.received.indexOf(m) >= from && m.index === 4 && m.display.rh_tally === 0,
                      'the end of the burst');
  const stopped = host;
  host = null;
  assert.equal((await stopped.stop()).code, 0, stopped.output());
  const recording = readFileSync(path.join(folder, 'cuts.vesk'), 'utf8');
  const steps = recording.split('\n').filter((line) => /^tsl mixer(tcp)? hex /.test(line));
  assert.ok(steps.length >= 8 + 4, `every packet is a step:\n${recording}`);
  // In the order sent: display 1 to 4 lit, then 1 to 4 dark (the index is
  // the fourth word, little-endian; the control word's low bits the lamps).
  const burstSteps = steps.slice(-8).map((line) => {
    const words = line.split(' ').slice(3);
    return `${parseInt(words[3].slice(0, 2), 16)}:${parseInt(words[4].slice(0, 2), 16) & 1}`;
  });
  assert.deepEqual(burstSteps, ['1:1', '2:1', '3:1', '4:1', '1:0', '2:0', '3:0', '4:0']);
  // Each step is followed by what it did before the next begins.
  const burst = recording.slice(recording.lastIndexOf('tsl mixer hex', recording.lastIndexOf('tsl mixer hex') - 1));
  assert.match(burst, /^tsl mixer hex [0-9a-f ]+\nexpect @cam\d sent IW 12 '[01]' \d+ 0\n/);
  const run = runHost([path.join(folder, 'cuts.vesk')]);
  assert.equal(run.status, 0, run.stdout + run.stderr);
  const [, held, of] = /(\d+) of (\d+) expectations held/.exec(run.stdout) ?? [];
  assert.equal(held, of, run.stdout);
  // The burst alone lights and darkens four lamps: four lines each.
  assert.ok(Number(held) >= 8 * 4, `${held} expectations held:\n${run.stdout}`);
});
