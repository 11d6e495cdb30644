// What the TSL tests of either version share: the tsl-umd-v5 peer process
// (a 5.0 mixer and lamps), free ports on 127.0.0.1, and a receiver that keeps
// what a display or lamp got, with a bounded wait for a message.
import dgram from 'node:dgram';
import net from 'node:net';
import path from 'node:path';

export const peerScript = path.join(path.dirname(new URL(import.meta.url).pathname), 'tsl_peer.cjs');

export async function freePort(kind) {
  if (kind === 'udp') {
    const socket = dgram.createSocket('udp4');
    await new Promise((resolve) => socket.bind(0, '127.0.0.1', resolve));
    const {port} = socket.address();
    socket.close();
    return port;
  }
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const {port} = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// Every message received (and, when given, each datagram as it came).
export function receiver() {
  const received = [];
  const datagrams = [];
  const waiters = new Set();
  return {
    received,
    datagrams,
    take(messages, raw) {
      if (raw) datagrams.push(raw);
      received.push(...messages);
      for (const waiter of waiters) waiter();
    },
    until(predicate, what, ms = 5000) {
      return new Promise((resolve, reject) => {
        const check = () => {
          const found = received.find(predicate);
          if (!found) return;
          clearTimeout(timer);
          waiters.delete(check);
          resolve(found);
        };
        const timer = setTimeout(() => {
          waiters.delete(check);
          reject(new Error(`${what}: not received within ${ms} ms; got ${JSON.stringify(received.slice(-5))}`));
        }, ms);
        waiters.add(check);
        check();
      });
    },
  };
}
