// The client against the real program inside network namespaces (root):
// the tunnel adapter's events, and a real connect through the kill-switch
// service to an OpenVPN server, run by the example's own code.
import assert from 'node:assert/strict';
import path from 'node:path';
import {describe, test} from 'node:test';

import type * as Connection from '../example/connection';
import type {VLVPNTunnelEvents} from '../src/events';
import {canMakeNetworkNamespaces, deskProgram, need, openTestSession, programExists, scratchFolder} from './support/program';
import {freshRequire, standIn} from './support/module-stand-in';
import {NetworkNamespace, labPassword, labUser, startVpnLab, until} from './support/vpn-lab';

const ready = () => programExists(deskProgram) && canMakeNetworkNamespaces();
const notReady = 'needs the Linux build (VLVPN_DESK), root and network namespaces';

describe('in network namespaces', () => {
  test('tunnelAdapterChanged follows a tun device named like the adapter going up and away', async (t) => {
    if (!need(t, ready(), notReady)) return;
    const scratch = scratchFolder(t);
    const ns = new NetworkNamespace(t, 'tun');
    const session = await openTestSession(t, {scratch, program: ns.deskProgram(scratch)});
    const seen: Array<VLVPNTunnelEvents['tunnelAdapterChanged']> = [];
    session.addListener('tunnelAdapterChanged', (body) => seen.push(body));
    let removedHeard = 0;
    session.addListener('tunnelAdapterChanged', () => removedHeard++).remove();
    // The module is up and watching once it has answered.
    assert.equal((await session.NativeModules.VLVPNTunnel.getStatus()).state, 'disconnected');

    // OpenVPN without a peer opens the tun device and brings it up.
    const openvpn = ns.start(t, [
      'openvpn', '--dev', 'tap-windows0', '--dev-type', 'tun', '--ifconfig', '10.9.0.1', '10.9.0.2',
      '--proto', 'udp', '--lport', '11999', '--verb', '0',
    ]);
    await until('the adapter going up', () => seen.length > 0);
    assert.deepEqual(seen, [{up: true}]);
    openvpn.kill('SIGTERM');
    await until('the adapter going away', () => seen.length > 1);
    assert.deepEqual(seen, [{up: true}, {up: false}]);
    assert.equal(removedHeard, 0, 'a removed listener hears nothing');
  });

  test('connects to the VPN lab through the service, follows it to "connected" and disconnects', async (t) => {
    if (!need(t, ready(), notReady)) return;
    const scratch = scratchFolder(t);
    const lab = await startVpnLab(t, scratch);
    const session = await openTestSession(t, {
      scratch,
      program: lab.deskProgram,
      env: {VLVPN_KILLSWITCH_SOCKET: lab.serviceSocket},
    });
    const tunnel = session.NativeModules.VLVPNTunnel;
    await tunnel.saveOvpnProfile('home', lab.profile, 'home.ovpn', '');
    await tunnel.saveOvpnAuth('home', labUser, labPassword);

    // The interface's own code, handed the real module as Jest would hand the mock.
    standIn(t, 'vlvpn-native-modules/NativeVLVPNTunnel', {__esModule: true, default: tunnel});
    standIn(t, 'vlvpn-native-modules/events', {__esModule: true, subscribe: session.addListener});
    const connection = freshRequire<typeof Connection>(t, path.join(__dirname, '..', 'example', 'connection'));
    const adapter: boolean[] = [];
    connection.watchTunnelAdapter((up) => adapter.push(up));
    const states: string[] = [];
    const outcome = await connection.connectAndFollow('home', 'home.ovpn', {
      pollMs: 100,
      onStatus: (status) => states.push(status.state),
    });
    assert.equal(outcome.kind, 'connected', JSON.stringify(outcome));
    assert.equal(states.at(-1), 'connected');
    assert.ok(states.every((state) => state === 'connecting' || state === 'connected'), states.join());
    if (outcome.kind === 'connected') {
      assert.equal(outcome.status.profileId, 'home');
      assert.ok(Number.isInteger(outcome.status.pid), 'the OpenVPN process');
    }
    // The kernel shows a link's new carrier up to a second late (for the veth
    // made just now and the tun device OpenVPN just opened), and the lab
    // connects faster than that: until then the adapter is not up.
    let status = await tunnel.getStatus();
    await until('the adapter in the status', async () => (status = await tunnel.getStatus()).adapterUp);
    assert.equal(status.physicalLinkUp, true);
    assert.equal(typeof status.rxBytes, 'number');
    assert.deepEqual(await tunnel.pingThroughTunnel('10.8.0.1', 2000).then((ping) => ping.ok), true);
    await until('the adapter event', () => adapter.includes(true));

    assert.deepEqual(await tunnel.disconnect(), {state: 'disconnected'});
    const after = await tunnel.getStatus();
    assert.equal(after.state, 'disconnected');
    assert.equal(after.adapterUp, false);
    assert.equal(after.pid, undefined);
  });
});
