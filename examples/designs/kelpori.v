// kelpori's shift-register design in Verilog, on the simulated card's fixed
// ports. Column 1 is the load control: a change of its bit 0 from 1 to 0
// loads the vector latched in column 2 into the shift register and clears
// the capture register. Each read of column 2 steps once: the capture
// register takes in shift bit 31, the shift register shifts a 1 in. Column 0
// reads the shift register, column 8 the capture register in bits 0-15 and
// the status pattern in bits 16-31. Registers latch only while the clock
// runs, and a write lands where mask 0xC014 is set.
module kelpori (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 5:0] column,
    input  wire        write_enable,
    input  wire        read_enable,
    input  wire [31:0] write_data,
    /* verilator lint_off UNUSEDSIGNAL */
    input  wire [31:0] mask_c010,
    /* verilator lint_on UNUSEDSIGNAL */
    input  wire [31:0] mask_c014,
    input  wire        clock_running,
    output reg  [31:0] read_data
);
  localparam [15:0] STATUS = 16'hA5C3;

  reg [31:0] control, vector, shift;
  reg [15:0] capture;

  wire [31:0] new_control = (control & ~mask_c014) | (write_data & mask_c014);
  wire [31:0] new_vector = (vector & ~mask_c014) | (write_data & mask_c014);

  always @(*) begin
    case (column)
      6'd0: read_data = shift;
      6'd1: read_data = control;
      6'd2: read_data = vector;
      6'd8: read_data = {STATUS, capture};
      default: read_data = 32'd0;
    endcase
  end

  always @(posedge clk) begin
    if (rst) begin
      control <= 32'd0;
      vector  <= 32'd0;
      shift   <= 32'd0;
      capture <= 16'd0;
    end else if (clock_running) begin
      if (write_enable && column == 6'd1) begin
        control <= new_control;
        if (control[0] && !new_control[0]) begin
          shift   <= vector;
          capture <= 16'd0;
        end
      end else if (write_enable && column == 6'd2) begin
        vector <= new_vector;
      end else if (read_enable && column == 6'd2) begin
        capture <= {capture[14:0], shift[31]};
        shift   <= {shift[30:0], 1'b1};
      end
    end
  end
endmodule
