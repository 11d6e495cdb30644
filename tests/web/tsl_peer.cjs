// The independent TSL UMD 5.0 side of tsl.test.mjs, in a process of its own
// (tsl-umd-v5 keeps its sockets, so the test ends this process to close them).
// Argument: the UDP and TCP ports its lamps listen on. Messages: from the
// test {send: 'udp'|'tcp', port, tally}; to the test {lamp: 'udp'|'tcp', message}.
const TSL5 = require('tsl-umd-v5');

const [udpPort, tcpPort] = process.argv.slice(2).map(Number);
const udpLamp = new TSL5();
udpLamp.on('message', (message) => process.send({lamp: 'udp', message}));
udpLamp.listenUDP(udpPort);
const tcpLamp = new TSL5();
tcpLamp.on('message', (message) => process.send({lamp: 'tcp', message}));
tcpLamp.listenTCP(tcpPort);

const mixer = new TSL5();
process.on('message', ({send, port, tally}) => {
  if (send === 'udp') mixer.sendTallyUDP('127.0.0.1', port, tally);
  if (send === 'tcp') mixer.sendTallyTCP('127.0.0.1', port, tally);
});
process.on('disconnect', () => process.exit(0));
setTimeout(() => process.exit(0), 120000).unref();  // bounded, whatever happens
process.send({ready: true});
