layout(location = 0) in vec3 aPos;
layout(location = 1) in vec3 aNormal;  // any length: normalised where it is used
layout(location = 2) in vec2 aUv;
layout(location = 4) in vec4 aColour;
uniform mat4 uViewProj;
#if TEXTURED
out vec2 vUv;
#endif
#if SMOOTH_COLOUR
out vec4 vColour;
#else
flat out vec4 vColour;
#endif
#if LIT && SHADE == 1
out vec3 vDiff;
#if !SIMPLE_LIGHTS
out vec3 vSpec;
#endif
#endif
#if LIT && (SHADE == 2 || (SHADE == 0 && !RECORDS))
out vec3 vPos;
#endif
#if LIT && SHADE == 2
out vec3 vNormal;
#endif
void main() {
    vec4 wp = uWorld * vec4(aPos, 1.0);
    gl_Position = uViewProj * wp;
#if TEXTURED
    vUv = aUv;
#endif
    vColour = aColour;
#if LIT && SHADE == 1
#if SIMPLE_LIGHTS
    vec3 noSpecular;
    lightAt(wp.xyz, unitNormal(uNormalMat * aNormal, wp.xyz), vDiff, noSpecular);
#else
    lightAt(wp.xyz, unitNormal(uNormalMat * aNormal, wp.xyz), vDiff, vSpec);
#endif
#endif
#if LIT && (SHADE == 2 || (SHADE == 0 && !RECORDS))
    vPos = wp.xyz;
#endif
#if LIT && SHADE == 2
    vNormal = uNormalMat * aNormal;
#endif
}
