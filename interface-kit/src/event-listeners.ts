// Event listeners by event name, as React Native's emitter keeps them: the
// same handler added twice is called twice, and each subscription removes
// only its own entry.
import type {Subscription} from './events';

type Listener = (body: unknown) => void;

export class EventListeners {
  private readonly byName = new Map<string, Set<Listener>>();

  add(name: string, listener: Listener): Subscription {
    let set = this.byName.get(name);
    if (!set) this.byName.set(name, (set = new Set()));
    const entry: Listener = (body) => listener(body);
    set.add(entry);
    return {remove: () => set!.delete(entry)};
  }

  // A listener that removes itself (or another) while called does not upset the rest.
  emit(name: string, body: unknown): void {
    for (const listener of [...(this.byName.get(name) ?? [])]) listener(body);
  }

  clear(): void {
    this.byName.clear();
  }
}
