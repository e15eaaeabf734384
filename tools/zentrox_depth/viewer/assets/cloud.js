// The point cloud in WebGL: each pixel's point is its depth times its unit ray (the rays come from
// the server, from the camera's intrinsics), coloured by depth like the depth image. Drag turns the
// view about a point in front of the camera, the wheel zooms, a double-click returns to the
// camera's own view.
"use strict";

const Cloud = (() => {
  const VERTEX = `
    attribute vec3 ray;
    attribute float depth;
    uniform mat4 view;
    uniform mat4 projection;
    uniform vec2 range;
    uniform float spacing;
    varying vec3 colour;
    vec3 turbo(float t) {
      return clamp(vec3(
        0.13572138 + t * (4.61539260 + t * (-42.66032258 + t * (132.13108234 + t * (-152.94239396 + t * 59.28637943)))),
        0.09140261 + t * (2.19418839 + t * (4.84296658 + t * (-14.18503333 + t * (4.27729857 + t * 2.82956604)))),
        0.10667330 + t * (12.64194608 + t * (-60.58204836 + t * (110.36276771 + t * (-89.90310912 + t * 27.34824973))))),
        0.0, 1.0);
    }
    void main() {
      if (!(depth > 0.0) || depth > 1.0e6) {
        gl_Position = vec4(2.0, 2.0, 2.0, 1.0);  // outside the view: no point
        gl_PointSize = 0.0;
        colour = vec3(0.0);
        return;
      }
      vec4 seen = view * vec4(ray * (depth * 0.001), 1.0);
      gl_Position = projection * seen;
      // Large enough to close the gaps between neighbouring pixels' points at this distance.
      gl_PointSize = clamp(1.25 * spacing * depth * 0.001 / max(-seen.z, 0.001), 1.0, 24.0);
      colour = turbo(clamp((depth - range.x) / (range.y - range.x), 0.0, 1.0));
    }`;
  const FRAGMENT = `
    precision mediump float;
    varying vec3 colour;
    void main() { gl_FragColor = vec4(colour, 1.0); }`;

  function perspective(fovY, aspect, near, far) {
    const f = 1 / Math.tan(fovY / 2);
    return new Float32Array([f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1,
                             0, 0, (2 * far * near) / (near - far), 0]);
  }

  // A view from `eye` towards `target`; the image's up is `up`.
  function lookAt(eye, target, up) {
    const sub = (a, b) => [a[0] - b[0], a[1] - b[1], a[2] - b[2]];
    const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
    const norm = (a) => { const l = Math.hypot(a[0], a[1], a[2]) || 1; return [a[0] / l, a[1] / l, a[2] / l]; };
    const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    const z = norm(sub(eye, target));
    const x = norm(cross(up, z));
    const y = cross(z, x);
    return new Float32Array([x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0,
                             -dot(x, eye), -dot(y, eye), -dot(z, eye), 1]);
  }

  function compile(gl, kind, source) {
    const shader = gl.createShader(kind);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
    return shader;
  }

  class View {
    constructor(canvas) {
      this.canvas = canvas;
      const gl = canvas.getContext("webgl", { antialias: false, preserveDrawingBuffer: true });
      if (!gl) throw new Error("this browser has no WebGL");
      this.gl = gl;
      const program = gl.createProgram();
      gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, VERTEX));
      gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, FRAGMENT));
      gl.linkProgram(program);
      if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
      this.program = program;
      this.rayAt = gl.getAttribLocation(program, "ray");
      this.depthAt = gl.getAttribLocation(program, "depth");
      this.viewAt = gl.getUniformLocation(program, "view");
      this.projectionAt = gl.getUniformLocation(program, "projection");
      this.rangeAt = gl.getUniformLocation(program, "range");
      this.spacingAt = gl.getUniformLocation(program, "spacing");
      this.rayBuffer = gl.createBuffer();
      this.depthBuffer = gl.createBuffer();
      this.count = 0;
      this.depthCount = 0;
      this.home();
      this.listen();
    }

    // The camera's own view: from the origin along +z, image y down.
    home() {
      this.target = [0, 0, 2];
      this.yaw = 0;
      this.pitch = 0;
      this.distance = 2;
    }

    // rays: x, y, z of each pixel's unit ray; fx: the camera's focal length in pixels.
    // A large image is drawn with every stride-th pixel of every stride-th row, so that the canvas
    // gets about one point for every two of its pixels, not more points than it can show.
    setRays(rays, width, height, fx) {
      const stride = Math.max(1, Math.round(Math.sqrt((width * height * 2) / (this.canvas.width * this.canvas.height))));
      this.stride = stride;
      this.width = width;
      this.fx = fx / stride;
      const w = Math.ceil(width / stride), h = Math.ceil(height / stride);
      this.picked = new Uint32Array(w * h);
      const picked = new Float32Array(w * h * 3);
      let n = 0;
      for (let v = 0; v < height; v += stride)
        for (let u = 0; u < width; u += stride, n++) {
          const i = v * width + u;
          this.picked[n] = i;
          picked.set(rays.subarray(3 * i, 3 * i + 3), 3 * n);
        }
      this.few = stride > 1 ? new Float32Array(n) : null;
      const gl = this.gl;
      gl.bindBuffer(gl.ARRAY_BUFFER, this.rayBuffer);
      gl.bufferData(gl.ARRAY_BUFFER, picked, gl.STATIC_DRAW);
      this.count = n;
      this.depthCount = 0;
    }

    setDepth(depth) {
      if (this.few) {
        const few = this.few, picked = this.picked;
        for (let n = 0; n < few.length; n++) few[n] = depth[picked[n]];
        depth = few;
      }
      const gl = this.gl;
      gl.bindBuffer(gl.ARRAY_BUFFER, this.depthBuffer);
      if (this.depthCount !== depth.length) {
        gl.bufferData(gl.ARRAY_BUFFER, depth, gl.DYNAMIC_DRAW);
        this.depthCount = depth.length;
      } else {
        gl.bufferSubData(gl.ARRAY_BUFFER, 0, depth);
      }
    }

    draw(low, high) {
      const gl = this.gl, canvas = this.canvas;
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.clearColor(0, 0, 0, 1);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      if (!this.count || this.depthCount !== this.count) return;
      gl.enable(gl.DEPTH_TEST);
      gl.useProgram(this.program);
      const c = Math.cos(this.pitch);
      const eye = [this.target[0] + this.distance * Math.sin(this.yaw) * c,
                   this.target[1] - this.distance * Math.sin(this.pitch),
                   this.target[2] - this.distance * Math.cos(this.yaw) * c];
      const fovY = (60 * Math.PI) / 180;
      gl.uniformMatrix4fv(this.viewAt, false, lookAt(eye, this.target, [0, -1, 0]));
      gl.uniformMatrix4fv(this.projectionAt, false, perspective(fovY, canvas.width / canvas.height, 0.01, 100));
      gl.uniform2f(this.rangeAt, low, high);
      // The view's focal length over the camera's, both in pixels: how far apart neighbouring
      // pixels' points land on the canvas at unit distance.
      gl.uniform1f(this.spacingAt, (canvas.height / 2 / Math.tan(fovY / 2)) / (this.fx || 1));
      gl.bindBuffer(gl.ARRAY_BUFFER, this.rayBuffer);
      gl.enableVertexAttribArray(this.rayAt);
      gl.vertexAttribPointer(this.rayAt, 3, gl.FLOAT, false, 0, 0);
      gl.bindBuffer(gl.ARRAY_BUFFER, this.depthBuffer);
      gl.enableVertexAttribArray(this.depthAt);
      gl.vertexAttribPointer(this.depthAt, 1, gl.FLOAT, false, 0, 0);
      gl.drawArrays(gl.POINTS, 0, this.count);
    }

    listen() {
      const canvas = this.canvas;
      let dragging = null;
      canvas.addEventListener("mousedown", (e) => { dragging = [e.clientX, e.clientY]; e.preventDefault(); });
      window.addEventListener("mouseup", () => { dragging = null; });
      window.addEventListener("mousemove", (e) => {
        if (!dragging) return;
        this.yaw -= (e.clientX - dragging[0]) * 0.01;
        this.pitch = Math.max(-1.5, Math.min(1.5, this.pitch + (e.clientY - dragging[1]) * 0.01));
        dragging = [e.clientX, e.clientY];
        this.changed = true;
      });
      canvas.addEventListener("wheel", (e) => {
        this.distance = Math.max(0.1, Math.min(50, this.distance * Math.pow(1.1, Math.sign(e.deltaY))));
        this.changed = true;
        e.preventDefault();
      }, { passive: false });
      canvas.addEventListener("dblclick", () => { this.home(); this.changed = true; });
    }

    // Pixels that are not background in the drawn picture (the tests and the page's own check).
    litPixels() {
      const gl = this.gl, w = this.canvas.width, h = this.canvas.height;
      const data = new Uint8Array(w * h * 4);
      gl.readPixels(0, 0, w, h, gl.RGBA, gl.UNSIGNED_BYTE, data);
      let lit = 0;
      for (let i = 0; i < data.length; i += 4) if (data[i] | data[i + 1] | data[i + 2]) lit++;
      return lit;
    }
  }

  return { View };
})();
