// A component over connection.ts, as the interface would write it.
import {useEffect, useState} from 'react';
import {Button, Text, View} from 'react-native';
import VLVPNTunnel from 'vlvpn-native-modules/NativeVLVPNTunnel';
import VLVPNBuildConfig from 'vlvpn-native-modules/NativeVLVPNBuildConfig';

import {connectAndFollow, watchTunnelAdapter} from './connection';

export function ConnectButton({profileId, configFileName}: {profileId: string; configFileName: string}) {
  const [state, setState] = useState('disconnected');
  const [message, setMessage] = useState<string>();
  const [adapterUp, setAdapterUp] = useState(false);
  const {appDisplayName} = VLVPNBuildConfig.getConstants();

  useEffect(() => {
    const subscription = watchTunnelAdapter(setAdapterUp);
    return () => subscription.remove();
  }, []);

  const connect = async () => {
    setState('connecting');
    const outcome = await connectAndFollow(profileId, configFileName, {onStatus: (status) => setState(status.state)});
    if (outcome.kind === 'failed') setMessage(outcome.message);
  };
  const disconnect = async () => setState((await VLVPNTunnel.disconnect()).state);

  return (
    <View>
      <Text>
        {appDisplayName}: {state}
        {adapterUp ? ' (adapter up)' : ''}
      </Text>
      {message ? <Text>{message}</Text> : null}
      <Button
        title={state === 'disconnected' ? 'Connect' : 'Disconnect'}
        onPress={state === 'disconnected' ? connect : disconnect}
      />
    </View>
  );
}
