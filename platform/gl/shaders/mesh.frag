uniform sampler2D uTex;
// Texels less opaque than this are not drawn; above 0.5 (a cut-out) the rest draw opaque.
uniform float uAlphaCut;
uniform vec3 uEmissive;
uniform vec3 uSpecColour;
uniform int uShades;
uniform bool uDither;
#if TEXTURED
in vec2 vUv;
#endif
#if SMOOTH_COLOUR
in vec4 vColour;
#else
flat in vec4 vColour;
#endif
#if LIT && SHADE == 0 && RECORDS
// One record per triangle: its polygon's centre and packed face normal.
uniform usamplerBuffer uRecords;
uniform int uFirstTriangle;  // of the draw, from its group's first
uniform int uFirstRecord;    // of the group
uniform int uRecordShift;    // its polygons have 2^uRecordShift triangles each
// When the triangles drawn are some of the group's, chosen: each one's number in the group.
uniform usamplerBuffer uKeptNumbers;
uniform bool uNumbered;
// -1 when the placement mirrors: the drawn side of a face is then the other one.
uniform float uMirror;

vec3 unpackNormal(uint bits) {
    return vec3(ivec3(int(bits << 22u), int(bits << 12u), int(bits << 2u)) >> 22);
}
#if CORNERS
// Triangles (CORNERS 3) or quadrilaterals (4) have no record: their centre and packed face
// normal are worked out here from their corners, each operation as the mesh's maker does
// it, so that where the arithmetic is IEEE single precision without fused steps (as in
// software drivers) they come out the same to the bit.
uniform usamplerBuffer uIndices;  // the mesh's triangles, three vertex numbers each
// Its vertices, each from its position: one a texel where a vertex is four floats, else
// as floats, uFloatsPerVertex each.
uniform samplerBuffer uVertices;
uniform int uFloatsPerVertex;
uniform int uGroupTriangle;  // the group's first triangle in the mesh

vec3 cornerAt(int index) {
#if VERTEX_TEXELS
    return texelFetch(uVertices, int(texelFetch(uIndices, index).r)).xyz;
#else
    int at = int(texelFetch(uIndices, index).r) * uFloatsPerVertex;
    return vec3(texelFetch(uVertices, at).r, texelFetch(uVertices, at + 1).r, texelFetch(uVertices, at + 2).r);
#endif
}

vec3 crossOf(vec3 a, vec3 b) {
    return vec3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

float lengthOf(vec3 v) { return sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// The sum of the fan's cross products made a unit vector, then packed: each part to the
// nearest 511th, halves away from zero; nothing where it has next to no length or is not
// a number.
vec3 packedNormalOf(vec3 sum) {
    float l = lengthOf(sum);
    vec3 n = l > 1e-20 ? sum / l : vec3(0.0);
    float unit = lengthOf(n);
    if (!(unit > 1e-20) || isinf(unit) || isnan(unit)) return vec3(0.0);
    vec3 v = clamp(n / unit, -1.0, 1.0) * 511.0;
    vec3 whole = trunc(v);
    return whole + sign(v) * step(0.5, abs(v - whole));
}

// The centre and the packed normal of the polygon of the group's triangle t.
void recordFromCorners(int t, out vec3 centre, out vec3 normal) {
#if CORNERS == 4
    int first = 3 * (uGroupTriangle + (t & ~1));
    vec3 p0 = cornerAt(first), p1 = cornerAt(first + 1), p2 = cornerAt(first + 2), p3 = cornerAt(first + 5);
    centre = p0 * 0.25 + p1 * 0.25 + p2 * 0.25 + p3 * 0.25;
    normal = packedNormalOf(crossOf(p1 - p0, p2 - p0) + crossOf(p2 - p0, p3 - p0));
#else
    int first = 3 * (uGroupTriangle + t);
    vec3 p0 = cornerAt(first), p1 = cornerAt(first + 1), p2 = cornerAt(first + 2);
    centre = p0 / 3.0 + p1 / 3.0 + p2 / 3.0;
    normal = packedNormalOf(crossOf(p1 - p0, p2 - p0));
#endif
}
#endif
#endif
#if LIT && SHADE == 0 && !RECORDS
// -1 or 1: turns the cross product of the screen-space derivatives to the front.
uniform float uFrontSign;
#endif
#if LIT && SHADE == 1
in vec3 vDiff;
#if !SIMPLE_LIGHTS
in vec3 vSpec;
#endif
#endif
#if LIT && (SHADE == 2 || (SHADE == 0 && !RECORDS))
in vec3 vPos;
#endif
#if LIT && SHADE == 2
in vec3 vNormal;
#endif
out vec4 fragColour;

const float kBayer[16] = float[16](0.0, 8.0, 2.0, 10.0, 12.0, 4.0, 14.0, 6.0,
                                   3.0, 11.0, 1.0, 9.0, 15.0, 7.0, 13.0, 5.0);

float quantise(float x) {
    float n = float(max(uShades, 2) - 1);
    float v = clamp(x, 0.0, 1.0) * n;
    float level;
    if (uDither) {
        ivec2 p = ivec2(gl_FragCoord.xy) & 3;
        level = floor(v + (kBayer[p.y * 4 + p.x] + 0.5) / 16.0);
    } else {
        level = floor(v + 0.5);
    }
    return min(level, n) / n;
}

float luminance(vec3 c) { return dot(c, vec3(0.299, 0.587, 0.114)); }

void main() {
    vec3 base = vColour.rgb;
    float alpha = vColour.a;
#if TEXTURED
    vec4 texel = texture(uTex, vUv);
    if (texel.a < uAlphaCut) discard;
    base = texel.rgb;
    if (uAlphaCut < 0.5) alpha *= texel.a;
#endif
#if !LIT
    fragColour = vec4(base, alpha);
#else
    vec3 diff, specular;
#if SHADE == 0
#if RECORDS
    int triangle = uNumbered ? int(texelFetch(uKeptNumbers, gl_PrimitiveID).r) : uFirstTriangle + gl_PrimitiveID;
#if CORNERS
    vec3 objectCentre, faceNormal;
    recordFromCorners(triangle, objectCentre, faceNormal);
#else
    uvec4 record = texelFetch(uRecords, uFirstRecord + (triangle >> uRecordShift));
    vec3 objectCentre = uintBitsToFloat(record.xyz);
    vec3 faceNormal = unpackNormal(record.w);
#endif
    vec3 centre = (uWorld * vec4(objectCentre, 1.0)).xyz;
    lightAt(centre, unitNormal(uMirror * (uNormalMat * faceNormal), centre), diff, specular);
#else
    // The plane of the triangle: with only directional lights and no highlight, where on
    // the face it is lit does not matter.
    vec3 normal = uFrontSign * cross(dFdx(vPos), dFdy(vPos));
    lightAt(vPos, unitNormal(normal, vPos), diff, specular);
#endif
#elif SHADE == 1
    diff = vDiff;
#if SIMPLE_LIGHTS
    specular = vec3(0.0);
#else
    specular = vSpec;
#endif
#else
    lightAt(vPos, unitNormal(vNormal, vPos), diff, specular);
#endif
#if RAMP
    // Lights are grey levels here: the red channel carries the intensity.
    float intensity = quantise(diff.r + luminance(uEmissive));
    float highlight = uPower > 0.0 ? quantise(specular.r * luminance(uSpecColour)) : 0.0;
    fragColour = vec4(base * intensity + (vec3(1.0) - base) * highlight, alpha);
#else
    fragColour = vec4(clamp(uEmissive + base * diff + specular * uSpecColour, 0.0, 1.0), alpha);
#endif
#endif
}
