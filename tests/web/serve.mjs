// Starts `vesk-host --serve` on a free port for a test and stops it again.
//
// Environment (set by CTest): VESK_HOST the executable, VESK_REPO the
// source tree (for examples/facility.ini and .vesk), and for a cross build
// VESK_HOST_EMULATOR, the command that runs VESK_HOST here, as a JSON array
// (Wine's: ["cmake/wine-run", "<prefix>"]).
import {spawn, spawnSync} from 'node:child_process';
import {existsSync, mkdtempSync, readFileSync, readdirSync, writeFileSync} from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export const repo = process.env.VESK_REPO || path.resolve(here, '../..');
export const hostBinary = process.env.VESK_HOST;
const emulator = process.env.VESK_HOST_EMULATOR ? JSON.parse(process.env.VESK_HOST_EMULATOR) : [];
// Under an emulator the host is not the child itself: Wine starts the
// program as a process of its own in the child's process group, and the
// child (Wine's start.exe) waits for it. The child gets a group of its own;
// Ctrl-C (SIGINT, which Wine hands to the program as Ctrl-C) goes to the
// program's processes, the other members of that group, and a forced end
// to the whole group. The emulator's start-up takes seconds.
export const emulated = emulator.length > 0;
const slow = emulated ? 3 : 1;

// The processes of group `leader` other than the leader itself.
function groupMembers(leader) {
  const members = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry) || Number(entry) === leader) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      // pid (name) state ppid pgrp ...: the name may hold anything, so after its last ')'
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      if (Number(fields[2]) === leader) members.push(Number(entry));
    } catch { /* gone meanwhile */ }
  }
  return members;
}

// [program, arguments] that run vesk-host with `args`.
export function hostCommand(args) {
  if (!hostBinary) throw new Error('VESK_HOST (the vesk-host executable) is not set');
  return emulated ? [emulator[0], [...emulator.slice(1), hostBinary, ...args]] : [hostBinary, args];
}

// vesk-host run to its end: spawnSync's result, bounded in time.
export function runHost(args, options = {}) {
  const [program, argv] = hostCommand(args);
  return spawnSync(program, argv, {encoding: 'utf8', timeout: 60000 * slow, killSignal: 'SIGKILL',
                                   ...options});
}

// The facility example: four cameras on GPI inputs, a mixer slot, tally slots.
// Debian's Chromium, headless, with nothing that reaches beyond this machine.
export const chromiumOptions = {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
};

export function facilityArgs({scenario = true} = {}) {
  const args = ['--config', path.join(repo, 'examples/facility.ini')];
  const script = path.join(repo, 'examples/facility.vesk');
  if (scenario && existsSync(script)) args.push(script);
  return args;
}

// Starts the host; resolves once it printed its URL.
export async function startHost({address = '127.0.0.1:0', token, args = facilityArgs()} = {}) {
  const [program, argv] =
    hostCommand(['--serve', address, ...(token ? ['--token', token] : []), ...args]);
  const child = spawn(program, argv, {stdio: ['ignore', 'pipe', 'pipe'], detached: emulated});
  const signal = (name) => {
    try {
      if (!emulated) return child.kill(name);
      const program = name === 'SIGINT' ? groupMembers(child.pid) : [];
      if (program.length === 0) return process.kill(-child.pid, name);
      for (const pid of program) process.kill(pid, name);
    } catch { /* already gone */ }
  };
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  child.stderr.on('data', (chunk) => { output += chunk; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({code, signal})));
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      signal('SIGKILL');
      reject(new Error(`no URL within ${20 * slow} s:\n${output}`));
    }, 20000 * slow);
    const look = () => {
      const match = /live page at (http:\/\/\S+)/.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve(new URL(match[1]));
      }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', look);
    exited.then(({code, signal}) => reject(new Error(`vesk-host ended (${code ?? signal}):\n${output}`)));
  });
  return {
    url,
    base: `http://${url.host}`,
    pid: child.pid,
    output: () => output,
    // SIGINT, as Ctrl-C; resolves with the exit status.
    async stop() {
      if (child.exitCode === null && child.signalCode === null) signal('SIGINT');
      const timer = setTimeout(() => signal('SIGKILL'), 15000 * slow);
      const result = await exited;
      clearTimeout(timer);
      return result;
    },
  };
}

// One raw HTTP request, so that tests can set Host, Origin and bad bodies.
export function call(host, method, pathname, {headers = {}, body} = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({host: host.url.hostname, port: host.url.port, method, path: pathname,
                                  headers, agent: false}, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => {
        let json = null;
        try { json = JSON.parse(text); } catch { /* not JSON */ }
        resolve({status: response.statusCode, headers: response.headers, text, json});
      });
    });
    request.on('error', reject);
    if (body !== undefined) request.write(body);
    request.end();
  });
}

export function residentKiB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/VmRSS:\s+(\d+) kB/.exec(status)[1]);
}

// A facility of `count` cameras: camK's contact is GPI 3.K, its tally slot
// 12.(K + 19); `extra` INI lines are added. Written to a temporary folder;
// returns the host arguments.
export function cameraFacility(count, extra = []) {
  const lines = [...extra, '[instances.tallybus]', 'device = 12', 'offset = 20', 'drvtype = i', '', '[gpi.3]'];
  for (let k = 1; k <= count; k += 1) lines.push(`${k} = 0`);
  for (let k = 1; k <= count; k += 1) {
    lines.push('', `[instances.cam${k}]`, 'device = 3', `offset = ${k}`, 'drvtype = g',
               '', `[component.cam${k}]`, 'param.setslot = tallybus', `param.slotoffset = ${k - 1}`,
               'param.tally_on = 1', 'param.tally_val = 1', `param.instance = cam${k}`);
  }
  const file = path.join(mkdtempSync(path.join(os.tmpdir(), 'vesk-cameras-')), 'cameras.ini');
  writeFileSync(file, `${lines.join('\n')}\n`);
  return ['--config', file];
}

// For a page's addInitScript, before its own scripts: counts the snapshots
// (hellos) the browser's shared stream hands the page, in window.veskSnapshots.
export function countSnapshots() {
  const Shared = window.SharedWorker;
  window.veskSnapshots = 0;
  window.SharedWorker = function SharedWorker(...args) {
    const worker = new Shared(...args);
    worker.port.addEventListener('message', ({data}) => {
      if (data.text?.includes('"type":"hello"')) window.veskSnapshots += 1;
    });
    return worker;
  };
}
