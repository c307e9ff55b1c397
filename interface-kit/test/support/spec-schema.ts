// The specs as React Native's code generator reads them, compared with what
// the real program says of itself (`VLVPNDesk --describe`), and values
// checked against their spec types.
import {readdirSync, readFileSync} from 'node:fs';
import path from 'node:path';
import ts from 'typescript';

// The generator's schema, as far as these checks read it.
export interface TypeAnnotation {
  type: string;
  name?: string;
  elementType?: TypeAnnotation;
  typeAnnotation?: TypeAnnotation;
  properties?: Array<{name: string; optional: boolean; typeAnnotation: TypeAnnotation}>;
  types?: Array<{type: string; value?: string}>;
  returnTypeAnnotation?: TypeAnnotation;
  params?: Array<{name: string; optional: boolean; typeAnnotation: TypeAnnotation}>;
}

export interface SpecMethod {
  name: string;
  params: Array<{name: string; type: TypeAnnotation}>;
  returns: TypeAnnotation;
}

export interface SpecModule {
  name: string;
  methods: SpecMethod[];  // without getConstants
  constants: string[];  // sorted
  constantsType?: TypeAnnotation;
  aliasMap: Record<string, TypeAnnotation>;
}

export interface HostDescription {
  modules: Array<{name: string; methods: Array<{name: string; args: string[]}>; constants: string[]}>;
  events: string[];
}

export const packageRoot = path.resolve(__dirname, '..', '..', '..');
export const specsFolder = path.join(packageRoot, 'src', 'specs');

export function parseSpecs(folder = specsFolder): SpecModule[] {
  // eslint-disable-next-line @typescript-eslint/no-require-imports
  const {TypeScriptParser} = require('@react-native/codegen/lib/parsers/typescript/parser');
  const parser = new TypeScriptParser();
  return readdirSync(folder)
    .filter((file) => /^Native.*\.ts$/.test(file))
    .sort()
    .map((file) => {
      const schema = parser.parseFile(path.join(folder, file));
      const [module] = Object.values(schema.modules) as Array<{
        moduleName: string;
        aliasMap: Record<string, TypeAnnotation>;
        spec: {methods: Array<{name: string; typeAnnotation: TypeAnnotation}>};
      }>;
      if (!module) throw new Error(`${file}: no module`);
      const constantsMethod = module.spec.methods.find((method) => method.name === 'getConstants');
      const constantsType = constantsMethod?.typeAnnotation.returnTypeAnnotation;
      return {
        name: module.moduleName,
        aliasMap: module.aliasMap,
        constantsType,
        constants: constantsType ? resolve(constantsType, module.aliasMap).properties!.map((p) => p.name).sort() : [],
        methods: module.spec.methods
          .filter((method) => method.name !== 'getConstants')
          .map((method) => ({
            name: method.name,
            params: method.typeAnnotation.params!.map((param) => ({name: param.name, type: param.typeAnnotation})),
            returns: method.typeAnnotation.returnTypeAnnotation!,
          })),
      };
    });
}

// The member names of the VLVPNTunnelEvents interface, in declaration order.
export function eventMapNames(file = path.join(packageRoot, 'src', 'events.ts')): string[] {
  const source = ts.createSourceFile(file, readFileSync(file, 'utf8'), ts.ScriptTarget.ES2022);
  for (const statement of source.statements) {
    if (ts.isInterfaceDeclaration(statement) && statement.name.text === 'VLVPNTunnelEvents') {
      return statement.members.map((member) => (member.name as ts.Identifier).text);
    }
  }
  throw new Error(`${file}: no VLVPNTunnelEvents`);
}

// The host's name for an argument type; a type it cannot take says so.
export function hostArgType(annotation: TypeAnnotation): string {
  switch (annotation.type) {
    case 'StringTypeAnnotation':
      return 'string';
    case 'Int32TypeAnnotation':
      return 'int32';
    case 'BooleanTypeAnnotation':
      return 'boolean';
    case 'ArrayTypeAnnotation':
      if (annotation.elementType?.type === 'StringTypeAnnotation') return 'string[]';
  }
  return `unsupported ${annotation.type}`;
}

// Every difference between the specs and the host's own tables; empty when
// they agree.
export function differences(specs: SpecModule[], events: string[], host: HostDescription): string[] {
  const found: string[] = [];
  // `what` is "module " or "method Module.", so the name follows it directly.
  const onlyIn = (what: string, a: string[], b: string[], side: string) => {
    for (const name of a.filter((name) => !b.includes(name))) found.push(`${what}${name} only in the ${side}`);
  };
  const specNames = specs.map((module) => module.name);
  const hostNames = host.modules.map((module) => module.name);
  onlyIn('module ', specNames, hostNames, 'specs');
  onlyIn('module ', hostNames, specNames, 'host');
  for (const spec of specs) {
    const described = host.modules.find((module) => module.name === spec.name);
    if (!described) continue;
    const specMethods = spec.methods.map((method) => method.name);
    const hostMethods = described.methods.map((method) => method.name);
    onlyIn(`method ${spec.name}.`, specMethods, hostMethods, 'specs');
    onlyIn(`method ${spec.name}.`, hostMethods, specMethods, 'host');
    const common = specMethods.filter((name) => hostMethods.includes(name));
    if (common.join() !== hostMethods.filter((name) => specMethods.includes(name)).join()) {
      found.push(`${spec.name}: methods in another order (specs ${common.join(', ')})`);
    }
    for (const method of spec.methods) {
      const other = described.methods.find((candidate) => candidate.name === method.name);
      if (!other) continue;
      const specArgs = method.params.map((param) => hostArgType(param.type));
      if (specArgs.join() !== other.args.join()) {
        found.push(`${spec.name}.${method.name}: specs take (${specArgs.join(', ')}), host takes (${other.args.join(', ')})`);
      }
    }
    if (spec.constants.join() !== [...described.constants].sort().join()) {
      found.push(`${spec.name}: constants (${spec.constants.join(', ')}) in the specs, (${described.constants.join(', ')}) in the host`);
    }
  }
  if (events.join() !== host.events.join()) {
    found.push(`events (${events.join(', ')}) in the specs, (${host.events.join(', ')}) in the host`);
  }
  return found;
}

function resolve(annotation: TypeAnnotation, aliases: Record<string, TypeAnnotation>): TypeAnnotation {
  if (annotation.type !== 'TypeAliasTypeAnnotation') return annotation;
  const target = aliases[annotation.name!];
  if (!target) throw new Error(`unknown type ${annotation.name}`);
  return target;
}

// Where `value` is not of the type the module declares: one line per
// problem, none when it is.
export function mismatches(
  annotation: TypeAnnotation,
  value: unknown,
  aliases: Record<string, TypeAnnotation>,
  where = 'result',
): string[] {
  const type = resolve(annotation, aliases);
  const wrong = (expected: string) => [`${where}: expected ${expected}, got ${JSON.stringify(value)}`];
  switch (type.type) {
    case 'PromiseTypeAnnotation':
      return mismatches(type.elementType!, value, aliases, where);
    case 'VoidTypeAnnotation':
      return value === undefined ? [] : wrong('nothing');
    case 'StringTypeAnnotation':
      return typeof value === 'string' ? [] : wrong('a string');
    case 'BooleanTypeAnnotation':
      return typeof value === 'boolean' ? [] : wrong('a boolean');
    case 'NumberTypeAnnotation':
    case 'DoubleTypeAnnotation':
    case 'FloatTypeAnnotation':
      return typeof value === 'number' ? [] : wrong('a number');
    case 'Int32TypeAnnotation':
      return Number.isInteger(value) && Math.abs(value as number) <= 2 ** 31 ? [] : wrong('a 32-bit integer');
    case 'StringLiteralUnionTypeAnnotation': {
      const allowed = type.types!.map((member) => member.value);
      return allowed.includes(value as string) ? [] : wrong(`one of ${allowed.join(', ')}`);
    }
    case 'ArrayTypeAnnotation':
      if (!Array.isArray(value)) return wrong('an array');
      return value.flatMap((item, index) => mismatches(type.elementType!, item, aliases, `${where}[${index}]`));
    case 'UnionTypeAnnotation':
      // The generator keeps no members of a union of objects: an object is all it can tell.
      return value !== null && typeof value === 'object' && !Array.isArray(value) ? [] : wrong('an object');
    case 'ObjectTypeAnnotation': {
      if (value === null || typeof value !== 'object' || Array.isArray(value)) return wrong('an object');
      const object = value as Record<string, unknown>;
      const known = new Set(type.properties!.map((property) => property.name));
      const problems = Object.keys(object)
        .filter((key) => !known.has(key))
        .map((key) => `${where}.${key}: not declared`);
      for (const property of type.properties!) {
        if (!(property.name in object)) {
          if (!property.optional) problems.push(`${where}.${property.name}: missing`);
          continue;
        }
        problems.push(...mismatches(property.typeAnnotation, object[property.name], aliases, `${where}.${property.name}`));
      }
      return problems;
    }
  }
  return [`${where}: the check does not know ${type.type}`];
}
