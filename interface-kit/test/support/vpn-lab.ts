// Network namespaces of the test's own (Linux, root), and in them a real VPN:
// an OpenVPN server from scripts/vpn-lab in one, the kill-switch service and
// the desktop program in the other, joined by a veth pair, with the "TAP
// adapter" tap-windows0 as a tun device. Nothing leaves the namespaces.
import {execFileSync, spawn, type ChildProcess} from 'node:child_process';
import {chmodSync, existsSync, mkdirSync, readFileSync, writeFileSync} from 'node:fs';
import {connect} from 'node:net';
import path from 'node:path';
import type {TestContext} from 'node:test';
import {setTimeout as pause} from 'node:timers/promises';

import {deskProgram, killSwitchProgram} from './program';
import {packageRoot} from './spec-schema';

const vpnLabScript = path.join(packageRoot, '..', 'scripts', 'vpn-lab');
export const labServerAddress = '10.231.0.1';
export const labUser = 'alice';
export const labPassword = 'correct horse';

let made = 0;

export class NetworkNamespace {
  readonly name: string;

  constructor(t: TestContext, stem: string) {
    this.name = `vlvpn-kit-${stem}-${process.pid}-${made++}`;
    ip('netns', 'add', this.name);
    ip('-n', this.name, 'link', 'set', 'lo', 'up');
    t.after(() => {
      // Whatever still runs inside goes with it.
      const pids = execFileSync('ip', ['netns', 'pids', this.name], {encoding: 'utf8'}).split(/\s+/).filter(Boolean);
      for (const pid of pids) process.kill(Number(pid), 'SIGKILL');
      ip('netns', 'delete', this.name);
    });
  }

  run(...command: string[]): string {
    return execFileSync('ip', ['netns', 'exec', this.name, ...command], {encoding: 'utf8'});
  }

  // A command inside that keeps running until the test ends.
  start(t: TestContext, command: string[], env: NodeJS.ProcessEnv = {}): ChildProcess {
    const child = spawn('ip', ['netns', 'exec', this.name, ...command], {env: {...process.env, ...env}, stdio: 'ignore'});
    t.after(() => {
      child.kill('SIGKILL');
    });
    return child;
  }

  // A VLVPNDesk that runs inside: the client starts it like the program itself.
  deskProgram(folder: string): string {
    const wrapper = path.join(folder, `VLVPNDesk-in-${this.name}`);
    writeFileSync(wrapper, `#!/bin/sh\nexec ip netns exec '${this.name}' '${deskProgram}' "$@"\n`);
    chmodSync(wrapper, 0o755);
    return wrapper;
  }
}

function ip(...args: string[]): void {
  execFileSync('ip', args, {stdio: 'pipe'});
}

async function until(what: string, done: () => boolean | Promise<boolean>, timeoutMs = 15_000): Promise<void> {
  for (const deadline = Date.now() + timeoutMs; Date.now() < deadline; await pause(50)) {
    if (await done()) return;
  }
  throw new Error(`timed out waiting for ${what}`);
}

function request(socket: string, line: string): Promise<string> {
  return new Promise((resolve) => {
    let reply = '';
    const client = connect(socket, () => client.write(line + '\n'));
    client.setEncoding('utf8');
    client.on('data', (text) => (reply += text));
    client.on('close', () => resolve(reply.trim()));
    client.on('error', () => resolve(''));
  });
}

export interface VpnLab {
  server: NetworkNamespace;
  client: NetworkNamespace;
  profile: string;
  serviceSocket: string;
  // The desktop program inside the client namespace.
  deskProgram: string;
}

export async function startVpnLab(t: TestContext, scratch: string): Promise<VpnLab> {
  const server = new NetworkNamespace(t, 'srv');
  const client = new NetworkNamespace(t, 'cli');
  const serverEnd = `vks${process.pid % 10000}x${made}`;
  const clientEnd = `vkc${process.pid % 10000}x${made}`;
  ip('link', 'add', serverEnd, 'netns', server.name, 'type', 'veth', 'peer', 'name', clientEnd, 'netns', client.name);
  ip('-n', server.name, 'addr', 'add', `${labServerAddress}/24`, 'dev', serverEnd);
  ip('-n', client.name, 'addr', 'add', '10.231.0.2/24', 'dev', clientEnd);
  ip('-n', server.name, 'link', 'set', serverEnd, 'up');
  ip('-n', client.name, 'link', 'set', clientEnd, 'up');
  // The installed "TAP adapter" OpenVPN attaches to.
  ip('-n', client.name, 'tuntap', 'add', 'dev', 'tap-windows0', 'mode', 'tun');

  const pki = path.join(scratch, 'pki');
  execFileSync(vpnLabScript, ['pki', pki], {stdio: 'pipe'});
  execFileSync(vpnLabScript, ['server', pki, 'udp', labServerAddress], {stdio: 'pipe'});
  const profile = execFileSync(vpnLabScript, ['profile', pki, 'udp', labServerAddress], {encoding: 'utf8'});

  const serverLog = path.join(pki, 'server.log');
  server.start(t, ['openvpn', '--config', path.join(pki, 'server.conf'), '--log', serverLog]);
  await until('the OpenVPN server', () =>
    existsSync(serverLog) && readFileSync(serverLog, 'utf8').includes('Initialization Sequence Completed'),
  );

  const serviceSocket = path.join(scratch, 'killswitch.sock');
  mkdirSync(path.join(scratch, 'ProgramData'), {recursive: true});
  client.start(t, [killSwitchProgram!, 'console'], {
    VLVPN_KILLSWITCH_SOCKET: serviceSocket,
    ProgramData: path.join(scratch, 'ProgramData'),
  });
  await until('the kill-switch service', async () => (await request(serviceSocket, 'PING')) === 'PONG');

  return {server, client, profile, serviceSocket, deskProgram: client.deskProgram(scratch)};
}

export {until};
