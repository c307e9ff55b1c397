// Every call of the mock modules goes through here: it is recorded, and it
// rejects instead when a test asked for that.
import {nativeModuleError} from '../errors';

export interface RecordedCall {
  module: string;
  method: string;
  args: unknown[];
}

export class CallRecorder {
  readonly calls: RecordedCall[] = [];
  private readonly rejections = new Map<string, string[]>();

  rejectNext(module: string, method: string, message: string): void {
    const key = `${module}.${method}`;
    this.rejections.set(key, [...(this.rejections.get(key) ?? []), message]);
  }

  // Runs `answer` unless a rejection is queued for the method; a NativeModuleError
  // thrown by `answer` becomes the rejection, as a native method's would.
  call<Result>(module: string, method: string, args: unknown[], answer: () => Result | Promise<Result>): Promise<Result> {
    this.calls.push({module, method, args});
    const queued = this.rejections.get(`${module}.${method}`);
    if (queued && queued.length > 0) return Promise.reject(nativeModuleError(queued.shift()!));
    try {
      return Promise.resolve(answer());
    } catch (error) {
      return Promise.reject(error);
    }
  }

  clear(): void {
    this.calls.length = 0;
    this.rejections.clear();
  }
}
