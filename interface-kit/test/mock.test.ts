// The mock keeps the behaviour the interface relies on, and the interface's
// code runs against it the way Jest's module mocks hand it over.
import assert from 'node:assert/strict';
import path from 'node:path';
import {describe, test} from 'node:test';

import type * as Connection from '../example/connection';
import {authSessionFailure} from '../src/errors';
import {createNativeModulesMock} from '../src/mock';
import {freshRequire, standIn} from './support/module-stand-in';
import {rejection} from './support/rejection';

// The message of a rejection with the code "EUNSPECIFIED" and a userInfo, as the program gives.
async function rejectionMessage(promise: Promise<unknown>): Promise<string> {
  const {message, code, userInfo} = await rejection(promise);
  assert.equal(code, 'EUNSPECIFIED');
  assert.notEqual(userInfo, null);
  return message;
}

describe('the mock', () => {
  test('saves, lists, reads and deletes profiles with the native rules', async () => {
    const {NativeModules} = createNativeModulesMock();
    const tunnel = NativeModules.VLVPNTunnel;
    assert.deepEqual(await tunnel.saveOvpnProfile('home', 'client\n', 'home.ovpn', ''), {
      configPath: 'C:\\Users\\mock\\AppData\\Local\\VLVPNDesk\\profiles\\home\\home.ovpn',
      fileName: 'home.ovpn',
    });
    await tunnel.saveOvpnProfileMeta('home', '{"id":"home"}\r\n');
    await tunnel.saveOvpnProfile('work', 'client\n', 'work.ovpn', '');  // no metadata: not listed
    assert.deepEqual(await tunnel.listSavedOvpnProfiles(), [{_raw: '{"id":"home"}\n'}]);

    assert.equal(await rejectionMessage(tunnel.readOvpnAuth('home')), 'Auth file not found');
    await tunnel.saveOvpnAuth('home', 'alice', 'correct horse');
    assert.deepEqual(await tunnel.readOvpnAuth('home'), {username: 'alice', password: 'correct horse'});

    for (const refused of ['..', '', 'a\\b', 'c:', 'nul.txt', 'trailing.']) {
      assert.equal(await rejectionMessage(tunnel.deleteOvpnProfile(refused)), 'Invalid profile identifier', refused);
    }
    assert.equal(await rejectionMessage(tunnel.saveOvpnProfile('home', '', '../x.ovpn', '')), 'Invalid file name');

    await tunnel.deleteOvpnProfile('home');
    await tunnel.deleteOvpnProfile('never-saved');
    assert.deepEqual(await tunnel.listSavedOvpnProfiles(), []);
    assert.equal(await rejectionMessage(tunnel.readOvpnAuth('home')), 'Auth file not found');
  });

  test('connects: "connecting", then "connected" at a later getStatus, then disconnects', async () => {
    const mock = createNativeModulesMock({connectingPolls: 1});
    const tunnel = mock.NativeModules.VLVPNTunnel;
    const adapter: boolean[] = [];
    mock.subscribe('tunnelAdapterChanged', ({up}) => adapter.push(up));

    assert.equal(
      await rejectionMessage(tunnel.connectOvpn('home', 'home.ovpn', '', '')),
      'VPN config not found for profile: home',
    );
    await tunnel.saveOvpnProfile('home', 'client\n', 'home.ovpn', '');
    assert.deepEqual(await tunnel.connectOvpn('home', 'other.ovpn', 'alice', 'pw'), {state: 'connecting'});
    assert.deepEqual(await tunnel.readOvpnAuth('home'), {username: 'alice', password: 'pw'}, 'connect saves credentials');
    assert.equal((await tunnel.getStatus()).state, 'connecting');
    assert.deepEqual(adapter, []);
    const connected = await tunnel.getStatus();
    assert.equal(connected.state, 'connected');
    assert.equal(connected.profileId, 'home');
    assert.equal(connected.adapterUp, true);
    assert.deepEqual(adapter, [true]);
    assert.deepEqual(await tunnel.pingThroughTunnel('', 0), {ok: true, rttMs: 1});

    assert.deepEqual(await tunnel.disconnect(), {state: 'disconnected'});
    assert.deepEqual(await tunnel.getStatus(), {state: 'disconnected', downBps: 0, upBps: 0, adapterUp: false});
    assert.deepEqual(adapter, [true, false]);
    assert.deepEqual(await tunnel.pingThroughTunnel('', 0), {ok: false, reason: 'no_tunnel_adapter'});
  });

  test('a tunnel that drops reports its message until the next connect', async () => {
    const mock = createNativeModulesMock();
    const tunnel = mock.NativeModules.VLVPNTunnel;
    await tunnel.saveOvpnProfile('home', 'client\n', 'home.ovpn', '');
    await tunnel.connectOvpn('home', 'home.ovpn', '', '');
    await tunnel.getStatus();
    mock.dropTunnel();
    assert.deepEqual(await tunnel.getStatus(), {
      state: 'disconnected',
      message: 'Connection closed',
      profileId: 'home',
      downBps: 0,
      upBps: 0,
      adapterUp: false,
    });
    await tunnel.connectOvpn('home', 'home.ovpn', '', '');
    assert.equal((await tunnel.getStatus()).message, undefined);
  });

  test('echoes the kill-switch and IPv6 settings, and prepares only with the kill switch on', async () => {
    const tunnel = createNativeModulesMock().NativeModules.VLVPNTunnel;
    assert.deepEqual(await tunnel.prepareKillSwitchForReconnect(), {prepared: false, reason: 'kill_switch_off'});
    assert.deepEqual(await tunnel.setKillSwitchEnabled(true), {enabled: true});
    assert.deepEqual(await tunnel.setBlockIpv6Enabled(false), {enabled: false});
    assert.deepEqual(await tunnel.prepareKillSwitchForReconnect(), {prepared: true, path: 'windows-wfp', mode: 'dns_only'});
    assert.deepEqual(await tunnel.setKillSwitchEnabled(false), {enabled: false});
    assert.deepEqual(await tunnel.prepareKillSwitchForReconnect(), {prepared: false, reason: 'kill_switch_off'});
  });

  test('reports killSwitchActive only while the setting is on, true once a connect put the kill switch up', async () => {
    const tunnel = createNativeModulesMock({connectingPolls: 0}).NativeModules.VLVPNTunnel;
    await tunnel.saveOvpnProfile('home', 'client\n', 'home.ovpn', '');
    assert.equal((await tunnel.getStatus()).killSwitchActive, undefined);
    await tunnel.setKillSwitchEnabled(true);
    assert.equal((await tunnel.getStatus()).killSwitchActive, false, 'turned on while disconnected: the next connect puts it up');
    await tunnel.connectOvpn('home', 'home.ovpn', '', '');
    assert.equal((await tunnel.getStatus()).killSwitchActive, true);
    await tunnel.disconnect();
    assert.equal((await tunnel.getStatus()).killSwitchActive, true, 'it stays up after a disconnect');
    await tunnel.setKillSwitchEnabled(false);
    assert.equal((await tunnel.getStatus()).killSwitchActive, undefined);
  });

  test('makes the next call of a method reject with the given message, once per request', async () => {
    const mock = createNativeModulesMock();
    const tunnel = mock.NativeModules.VLVPNTunnel;
    mock.rejectNext('VLVPNTunnel', 'getStatus', 'first');
    mock.rejectNext('VLVPNTunnel', 'getStatus', 'second');
    assert.equal(await rejectionMessage(tunnel.getStatus()), 'first');
    assert.deepEqual(await tunnel.getHelperInfo().then((info) => info.machService), 'openvpn.exe', 'other methods untouched');
    assert.equal(await rejectionMessage(tunnel.getStatus()), 'second');
    assert.equal((await tunnel.getStatus()).state, 'disconnected');
    assert.deepEqual(
      mock.calls.map((call) => call.method),
      ['getStatus', 'getHelperInfo', 'getStatus', 'getStatus'],
    );
  });

  test('emits any event to its subscribers until they are removed', () => {
    const mock = createNativeModulesMock();
    const seen: unknown[] = [];
    const menu = mock.subscribe('menuBarAction', (body) => seen.push(body));
    mock.subscribe('systemWillSleep', (body) => seen.push(['sleep', body]));
    mock.emit('menuBarAction', {action: 'connectDedicated', serverId: 'de-1'});
    mock.emit('systemWillSleep');
    menu.remove();
    mock.emit('menuBarAction', {action: 'openApp'});
    assert.deepEqual(seen, [{action: 'connectDedicated', serverId: 'de-1'}, ['sleep', undefined]]);
  });

  test('signs in when the test completes the redirect, and cancels with the coded message', async () => {
    const mock = createNativeModulesMock();
    const auth = mock.NativeModules.VLVPNAuthSession;
    assert.equal(
      await rejectionMessage(auth.awaitLoopbackCallback('https://accounts.example/auth')),
      'Call beginLoopback before awaitLoopbackCallback',
    );
    const {redirectUri} = await auth.beginLoopback();
    const waiting = auth.awaitLoopbackCallback('https://accounts.example/auth');
    assert.equal(await rejectionMessage(auth.awaitLoopbackCallback('x')), 'OAuth loopback already waiting');
    await Promise.resolve();
    assert.equal(mock.openedAuthorizeUrl, 'https://accounts.example/auth');
    mock.completeSignIn('/oauth2redirect?code=abc&state=xyz');
    assert.deepEqual(await waiting, {callbackUrl: `${redirectUri}?code=abc&state=xyz`});

    await auth.beginLoopback();
    const cancelled = auth.awaitLoopbackCallback('https://accounts.example/auth').catch((error: unknown) => error);
    await Promise.resolve();
    assert.equal(await auth.cancelLoopback(), true);
    assert.deepEqual(authSessionFailure(await cancelled), {code: 'cancelled', sentence: 'Google sign-in was cancelled'});
  });

  test('reset forgets state and subscribers but keeps the module objects', async () => {
    const mock = createNativeModulesMock();
    const tunnel = mock.NativeModules.VLVPNTunnel;
    let events = 0;
    mock.subscribe('appWindowDidHide', () => events++);
    await tunnel.writeUserDefaults('theme', 'dark');
    await tunnel.notifyVpnConnectedOnHide();
    assert.equal(await tunnel.isAppWindowVisible(), false);
    mock.reset();
    assert.equal(mock.NativeModules.VLVPNTunnel, tunnel);
    assert.equal(await tunnel.readUserDefaults('theme'), '');
    assert.equal(await tunnel.isAppWindowVisible(), true);
    await tunnel.notifyVpnConnectedOnHide();
    assert.equal(events, 1, 'the subscriber from before the reset is gone');
    assert.deepEqual(mock.calls.map((call) => call.method), ['readUserDefaults', 'isAppWindowVisible', 'notifyVpnConnectedOnHide']);
  });
});

describe('the interface code over the mock', () => {
  test('runs as Jest would hand the package over: connect, follow, adapter events', async (t) => {
    // What the interface's jest.mock factories return, through the published entry points.
    // eslint-disable-next-line @typescript-eslint/no-require-imports
    const published = require('vlvpn-native-modules/mock') as typeof import('../src/mock');
    const mock = published.nativeModulesMock;
    mock.reset();
    standIn(t, 'vlvpn-native-modules/NativeVLVPNTunnel', published.specModule('VLVPNTunnel'));
    standIn(t, 'vlvpn-native-modules/events', published.eventsModule());
    const connection = freshRequire<typeof Connection>(t, path.join(__dirname, '..', 'example', 'connection'));

    const adapter: boolean[] = [];
    const watching = connection.watchTunnelAdapter((up) => adapter.push(up));
    assert.deepEqual(await connection.connectAndFollow('home', 'home.ovpn', {pollMs: 0}), {
      kind: 'failed',
      message: 'VPN config not found for profile: home',
    });
    await mock.NativeModules.VLVPNTunnel.saveOvpnProfile('home', 'client\n', 'home.ovpn', '');
    const outcome = await connection.connectAndFollow('home', 'home.ovpn', {pollMs: 0});
    assert.equal(outcome.kind, 'connected');
    assert.deepEqual(adapter, [true]);
    watching.remove();

    mock.rejectNext('VLVPNTunnel', 'connectOvpn', 'OpenVPN exited before connecting. Check the config file or credentials.');
    assert.deepEqual(await connection.connectAndFollow('home', 'home.ovpn', {pollMs: 0}), {
      kind: 'failed',
      message: 'OpenVPN exited before connecting. Check the config file or credentials.',
    });
  });
});
