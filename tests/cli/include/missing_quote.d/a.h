a body
